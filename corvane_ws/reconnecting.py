"""A stream that survives drops: ``Reconnecting`` (blocking) and ``AsyncReconnecting`` (asyncio).

Iterating gives the connector's messages and, between them, a ``StreamEvent`` for each step:
"connected", "disconnected" (with the reason), "connect_failed" (with the reason), "waiting"
(with the delay before the next attempt) and, last, "stopped"; a connector made with
``report_gaps=True`` adds "gap" for a break in an order-book sequence; a connection closed
because the program fell behind by ``limit_queue`` and its margin gives a "gap" with that
reason, ahead of its "disconnected". After a drop it connects
again after a capped exponential back-off with jitter (the back-off starts over once a stream
has carried messages); the connector replays its subscriptions (and logs in again) on every open.
``stop()``, from any thread or task, ends the iteration at once.
"""

from __future__ import annotations

import asyncio
import threading
from collections.abc import AsyncIterator, Iterator
from types import TracebackType
from typing import Self, cast

from ._connection import AsyncConnection, Connection, Item
from ._events import EventKind as EventKind, StreamEvent
from ._reconnect_plan import Backoff, ReconnectPlan, Step
from .errors import ConnectError

__all__ = ["AsyncReconnecting", "Reconnecting", "StreamEvent"]


class Reconnecting:
    """Reads ``connector`` (an ``OKX`` or ``MEXC``) forever, reconnecting after every drop.

    >>> with Reconnecting(okx) as stream:
    ...     for item in stream:
    ...         if isinstance(item, StreamEvent): log.info("%s", item)
    ...         else: handle(item)
    """

    def __init__(self, connector: Connection, *, first_backoff: float = 0.5,
                 max_backoff: float = 30.0, attempts: int | None = None) -> None:
        """``attempts``: connects to make before the iteration ends (None: no limit)."""
        self.connector = connector
        self._backoff = Backoff(first_backoff, max_backoff, attempts)
        self._stopping = threading.Event()

    def stop(self) -> None:
        """Ends the iteration (from any thread): the current read or wait ends at once."""
        self._stopping.set()
        self.connector.disconnect()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.stop()

    def __iter__(self) -> Iterator[Item]:
        plan = ReconnectPlan(self._backoff, self._stopping.is_set)
        try:
            for step in plan:
                yield from self._carry_out(step, plan)
        finally:
            # Only now: between streams a connector keeps what it reuses (a MEXC listen key).
            self.connector.disconnect()

    def _carry_out(self, step: Step | StreamEvent, plan: ReconnectPlan) -> Iterator[Item]:
        """One step of the plan; gives what the program gets of it."""
        if isinstance(step, StreamEvent):
            yield step
        elif step is Step.CONNECT:
            try:
                self.connector.connect()
            except ConnectError as e:
                plan.failed(e.reason)
        elif step is Step.WAIT:
            plan.waited(self._stopping.wait(plan.delay))
        else:
            carried = False
            refusal = self.connector._refusal  # the connector's plain loop leaves it to us
            for item in self.connector:
                carried = True
                yield cast(Item, refusal(item))
            if (gap := self.connector._overrun_gap()) is not None:
                yield gap
            plan.read(carried, self.connector.close_reason)


class AsyncReconnecting:
    """``Reconnecting`` for an ``AsyncOKX`` or ``AsyncMEXC``, read with ``async for``."""

    def __init__(self, connector: AsyncConnection, *, first_backoff: float = 0.5,
                 max_backoff: float = 30.0, attempts: int | None = None) -> None:
        """As ``Reconnecting``."""
        self.connector = connector
        self._backoff = Backoff(first_backoff, max_backoff, attempts)
        self._stopping = asyncio.Event()

    async def stop(self) -> None:
        """Ends the iteration: the current read or wait ends at once."""
        self._stopping.set()
        await self.connector.disconnect()

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        await self.stop()

    async def __aiter__(self) -> AsyncIterator[Item]:
        plan = ReconnectPlan(self._backoff, self._stopping.is_set)
        try:
            for step in plan:
                async for item in self._carry_out(step, plan):
                    yield item
        finally:
            await self.connector.disconnect()

    async def _carry_out(self, step: Step | StreamEvent,
                         plan: ReconnectPlan) -> AsyncIterator[Item]:
        """As ``Reconnecting._carry_out``."""
        if isinstance(step, StreamEvent):
            yield step
        elif step is Step.CONNECT:
            try:
                await self.connector.connect()
            except ConnectError as e:
                plan.failed(e.reason)
        elif step is Step.WAIT:
            plan.waited(await self._wait(plan.delay))
        else:
            carried = False
            refusal = self.connector._refusal
            async for item in self.connector:
                carried = True
                yield cast(Item, refusal(item))
            if (gap := self.connector._overrun_gap()) is not None:
                yield gap
            plan.read(carried, self.connector.close_reason)

    async def _wait(self, delay: float) -> bool:
        """Whether ``stop()`` ended the wait."""
        try:
            await asyncio.wait_for(self._stopping.wait(), delay)
            return True
        except TimeoutError:
            return False
