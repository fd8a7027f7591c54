"""A stream that survives drops: ``Reconnecting`` (blocking) and ``AsyncReconnecting`` (asyncio).

Iterating gives the connector's messages and, between them, a ``StreamEvent`` for each step:
"connected", "disconnected" (with the reason), "connect_failed" (with the reason), "waiting"
(with the delay before the next attempt) and, last, "stopped"; a connector made with
``report_gaps=True`` adds "gap" for a break in an order-book sequence. After a drop it connects
again after a capped exponential back-off with jitter (the back-off starts over once a stream
has carried messages); the connector replays its subscriptions (and logs in again) on every open.
``stop()``, from any thread or task, ends the iteration at once.
"""

from __future__ import annotations

import asyncio
import random
import threading
from collections.abc import AsyncIterator, Iterator
from types import TracebackType
from typing import Any, Self

from ._connection import AsyncConnection, Connection
from ._events import EventKind as EventKind, StreamEvent
from .errors import ConnectError

__all__ = ["AsyncReconnecting", "Reconnecting", "StreamEvent"]


class _Backoff:
    def __init__(self, first: float, maximum: float, attempts: int | None) -> None:
        if not 0 < first <= maximum:
            raise ValueError("need 0 < first_backoff <= max_backoff")
        self.first, self.maximum, self.attempts = first, maximum, attempts
        self.current = first
        self.made = 0

    def more(self) -> bool:
        return self.attempts is None or self.made < self.attempts

    def next_delay(self, carried: bool) -> float:
        if carried:
            self.current = self.first
        delay = random.uniform(self.current / 2, self.current)  # peers do not retry in step
        self.current = min(self.current * 2, self.maximum)
        return delay


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
        self._backoff = _Backoff(first_backoff, max_backoff, attempts)
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

    def __iter__(self) -> Iterator[Any]:
        b = self._backoff
        try:
            while not self._stopping.is_set() and b.more():
                b.made += 1
                carried = False
                try:
                    self.connector.connect()
                except ConnectError as e:
                    yield StreamEvent("connect_failed", b.made, e.reason)
                else:
                    yield StreamEvent("connected", b.made)
                    for item in self.connector:
                        carried = True
                        yield item
                    yield StreamEvent("disconnected", b.made, self.connector.close_reason)
                if self._stopping.is_set() or not b.more():
                    break
                delay = b.next_delay(carried)
                yield StreamEvent("waiting", b.made, delay=delay)
                if self._stopping.wait(delay):
                    break
            yield StreamEvent("stopped", b.made)
        finally:
            # Only now: between streams a connector keeps what it reuses (a MEXC listen key).
            self.connector.disconnect()


class AsyncReconnecting:
    """``Reconnecting`` for an ``AsyncOKX`` or ``AsyncMEXC``, read with ``async for``."""

    def __init__(self, connector: AsyncConnection, *, first_backoff: float = 0.5,
                 max_backoff: float = 30.0, attempts: int | None = None) -> None:
        """As ``Reconnecting``."""
        self.connector = connector
        self._backoff = _Backoff(first_backoff, max_backoff, attempts)
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

    async def __aiter__(self) -> AsyncIterator[Any]:
        b = self._backoff
        try:
            while not self._stopping.is_set() and b.more():
                b.made += 1
                carried = False
                try:
                    await self.connector.connect()
                except ConnectError as e:
                    yield StreamEvent("connect_failed", b.made, e.reason)
                else:
                    yield StreamEvent("connected", b.made)
                    async for item in self.connector:
                        carried = True
                        yield item
                    yield StreamEvent("disconnected", b.made, self.connector.close_reason)
                if self._stopping.is_set() or not b.more():
                    break
                delay = b.next_delay(carried)
                yield StreamEvent("waiting", b.made, delay=delay)
                try:
                    await asyncio.wait_for(self._stopping.wait(), delay)
                    break
                except TimeoutError:
                    pass
            yield StreamEvent("stopped", b.made)
        finally:
            await self.connector.disconnect()
