"""The two faces of a connector over one core (``_core.Core``): ``Connection`` blocks,
``AsyncConnection`` awaits. Each only does the I/O: opening a connection until its stream is
ready, reading with a time limit, iteration that ends as Python's does, waiting for the reply
to a request, and closing. A connector is used from any thread; its connection runs on a
native thread of its own, which never runs Python."""

from __future__ import annotations

import asyncio
import itertools
import time
from collections.abc import AsyncIterator, Iterator
from concurrent.futures import Future
from types import TracebackType
from typing import Any, Final, Self, cast

import _corvane_ws_module as _m

from ._acks import Reply
from ._books import AsyncOrderBook
from ._core import (DEFAULT_PING_INTERVAL as DEFAULT_PING_INTERVAL,
                    DEFAULT_PING_TIMEOUT as DEFAULT_PING_TIMEOUT, SKIP, Core, Item as Item,
                    connect_errors, remaining)
from ._events import StreamEvent
from ._seconds import optional_seconds, seconds
from ._turns import AsyncReadTurn, ReadTurn
from .errors import ConnectionClosed

DEFAULT_QUEUE_LIMIT: Final = 64 << 20
"""Bytes of received messages that may wait for the program (64 MiB) before the connection
stops reading its socket until the program catches up (TCP then holds the exchange back).
Nothing is dropped, unless the program stays behind by that and a margin more (the limit again,
at least 16 MiB): the connection is then closed with the reason. ``limit_queue=0`` lifts the
bound."""

DEFAULT_OPEN_TIMEOUT: Final = 10.0
"""Seconds ``connect()`` waits for the stream to open (and, on a private OKX connector, for the
login reply)."""


def wait_reply(connection: Connection, request_id: str, reply: Future[Reply],
               timeout: float) -> Reply:
    """The reply to `request_id` (registered with the connector's acks), within `timeout`
    seconds; ``RequestOutcomeUnknown`` when none came."""
    return connection._await_ack(request_id, reply, timeout)


async def await_reply(connection: AsyncConnection, request_id: str, reply: Future[Reply],
                      timeout: float) -> Reply:
    """``wait_reply`` for an asyncio connector."""
    return await connection._await_ack(request_id, reply, timeout)


class Connection(Core):
    """A blocking connector: ``with`` connects (and waits until the stream is open), iteration
    gives each message until the stream ends, ``recv(timeout=)`` one message."""

    def __init__(self, native: _m.BaseExchangeConnector, url: str, limit_queue: int,
                 open_timeout: float, report_gaps: bool = False, **core: Any) -> None:
        super().__init__(native, url, limit_queue, open_timeout, report_gaps, **core)
        self._turn = ReadTurn()

    def connect(self) -> Self:
        """Opens the connection and waits until its stream is ready (OKX private: logged in).
        Raises ``ConnectError`` (``LoginRefused``, ``OpenTimeout``) with the reason; the
        connection is closed then."""
        reader = self._native.wsrun(meta=True)
        opening = self._begin_open()
        with connect_errors():
            self._native.connect(self.url)
        deadline = time.monotonic() + self.open_timeout
        try:
            while True:
                try:
                    item = reader.recv(remaining(deadline))
                except TimeoutError:
                    raise opening.timed_out(self.open_timeout) from None
                if item is None:
                    raise opening.ended(self.close_reason)
                if opening.feed(item):
                    return self
        except BaseException:
            self._native.disconnect()
            raise

    def disconnect(self) -> None:
        """Closes the connection (a close handshake, at most about 2 s); what was already sent
        goes out first. Messages still queued can be read afterwards."""
        self._disconnected = True
        self._native.disconnect()

    def __enter__(self) -> Self:
        return self.connect()

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.disconnect()

    def __iter__(self) -> Iterator[Item]:
        """Each message in arrival order; the loop ends when the stream has ended (then see
        ``close_reason``)."""
        if self._plain_messages():
            if self._meta:  # a message's data, or a gap; no lock, no timer
                return itertools.chain(self._drain_pending(), self._unwrap(self._plain))
            if not self._pending:
                return self._plain  # the module's own iterator: no Python per message
            return itertools.chain(self._drain_pending(), self._plain)
        return self._messages()

    def _unwrap(self, items: Iterator[Any]) -> Iterator[Item]:
        message = _m.Message
        for item in items:
            if type(item) is message:
                yield cast(Item, self._refusal(item.data))
            elif (event := self._filter_meta(item)) is not SKIP:
                yield cast(StreamEvent, event)

    def _drain_pending(self) -> Iterator[Item]:
        while self._pending:
            yield self._pending.popleft()

    def _messages(self) -> Iterator[Item]:
        while True:
            try:
                yield self.recv()
            except ConnectionClosed:
                return

    def recv(self, timeout: float | None = None) -> Item:
        """The next message, waiting at most ``timeout`` seconds (None: as long as it takes).
        ``TimeoutError`` when none came in time (nothing is lost: a later call gets it),
        ``ConnectionClosed`` once the stream has ended."""
        timeout = optional_seconds(timeout, "timeout")
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            if not self._turn.take(remaining(deadline)):
                raise TimeoutError("No message within the timeout")
            try:
                if self._pending:
                    return self._pending.popleft()
                item = self._reader.recv(remaining(deadline))
                if item is None:
                    raise ConnectionClosed(self.close_reason)
                delivered = self._filter(item)
                if delivered is not SKIP:
                    return cast(Item, delivered)
            finally:
                self._turn.release()

    def _await_ack(self, request_id: str, reply: Future[Reply], timeout: float) -> Reply:
        """The reply to `request_id`: handed over by whoever reads, or read here when no one
        else does."""
        timeout = seconds(timeout, "timeout")
        deadline = time.monotonic() + timeout
        reply.add_done_callback(self._turn.wake)
        try:
            while not reply.done():
                left = remaining(deadline) or 0.0
                if left <= 0:
                    raise self._no_reply(request_id, timeout)
                if self._turn.take_for(reply, left):
                    try:
                        self._read_for_reply(request_id, left)
                    finally:
                        self._turn.release()
        finally:
            self._acks.forget(request_id)
        return reply.result()

    def _read_for_reply(self, request_id: str, timeout: float) -> None:
        try:
            item = self._reader.recv(timeout)
        except TimeoutError:
            return
        if item is None:
            raise self._ended_before(request_id)
        self._keep(self._filter(item))


class AsyncConnection(Core):
    """An asyncio connector: ``async with`` connects (and waits until the stream is open),
    ``async for`` gives each message until the stream ends, ``await recv(timeout=)`` one
    message. Blocking steps (connecting, REST calls, closing) run in a worker thread."""

    def __init__(self, native: _m.BaseExchangeConnector, url: str, limit_queue: int,
                 open_timeout: float, report_gaps: bool = False, **core: Any) -> None:
        super().__init__(native, url, limit_queue, open_timeout, report_gaps, **core)
        self._areader: _m.AsyncWebSocketIterator[Any] = (
            native.wsrun_async(meta=True) if report_gaps else native.wsrun_async())
        self._turn = AsyncReadTurn()

    _book_class = AsyncOrderBook

    def _use_meta(self) -> None:
        if not self._meta:
            super()._use_meta()
            self._areader = self._native.wsrun_async(meta=True)

    async def connect(self) -> Self:
        """Opens the connection and waits until its stream is ready (OKX private: logged in).
        Raises ``ConnectError`` (``LoginRefused``, ``OpenTimeout``) with the reason; the
        connection is closed then."""
        reader = self._native.wsrun_async(meta=True)
        opening = self._begin_open()
        with connect_errors():
            await asyncio.to_thread(self._native.connect, self.url)
        try:
            async with asyncio.timeout(self.open_timeout):
                async for item in reader:
                    if opening.feed(item):
                        return self
            raise opening.ended(self.close_reason)
        except TimeoutError:
            await asyncio.to_thread(self._native.disconnect)
            raise opening.timed_out(self.open_timeout) from None
        except BaseException:
            await asyncio.to_thread(self._native.disconnect)
            raise

    async def disconnect(self) -> None:
        """Closes the connection (a close handshake, at most about 2 s); what was already sent
        goes out first. Messages still queued can be read afterwards."""
        self._disconnected = True
        await asyncio.to_thread(self._native.disconnect)

    async def __aenter__(self) -> Self:
        return await self.connect()

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        await self.disconnect()

    def __aiter__(self) -> AsyncIterator[Item]:
        """Each message in arrival order; the loop ends when the stream has ended (then see
        ``close_reason``)."""
        if self._plain_messages():
            if self._meta:
                return self._aunwrap()
            if not self._pending:
                return self._areader  # the module's own iterator: no Python per message
        return self._amessages()

    async def _aunwrap(self) -> AsyncIterator[Item]:
        """A message's data, or a gap; no timer per message."""
        message = _m.Message
        while self._pending:
            yield self._pending.popleft()
        async for item in self._areader:
            if type(item) is message:
                yield cast(Item, self._refusal(item.data))
            elif (event := self._filter_meta(item)) is not SKIP:
                yield cast(StreamEvent, event)

    async def _amessages(self) -> AsyncIterator[Item]:
        while True:
            try:
                yield await self.recv()
            except ConnectionClosed:
                return

    async def recv(self, timeout: float | None = None) -> Item:
        """The next message, waiting at most ``timeout`` seconds (None: as long as it takes).
        ``TimeoutError`` when none came in time (nothing is lost: a later call gets it),
        ``ConnectionClosed`` once the stream has ended."""
        async with asyncio.timeout(optional_seconds(timeout, "timeout")):
            while True:
                await self._turn.start_program_read()
                try:
                    if self._pending:
                        return self._pending.popleft()
                    item = await anext(self._areader, None)
                finally:
                    self._turn.end_program_read()
                if item is None:
                    raise ConnectionClosed(self.close_reason)
                delivered = self._filter(item)
                if delivered is not SKIP:
                    return cast(Item, delivered)

    async def _await_ack(self, request_id: str, reply: Future[Reply],
                         timeout: float) -> Reply:
        """The reply to `request_id`: handed over by whoever reads, or read here when no other
        task does."""
        timeout = seconds(timeout, "timeout")
        deadline = time.monotonic() + timeout
        came = asyncio.wrap_future(reply)  # completed from whichever thread matched it
        try:
            while not reply.done():
                left = remaining(deadline) or 0.0
                if left <= 0:
                    raise self._no_reply(request_id, timeout)
                if self._turn.busy:
                    await self._turn.until_free(came, left)
                else:
                    await self._read_for_reply(request_id, left)
        finally:
            self._acks.forget(request_id)
        return reply.result()

    async def _read_for_reply(self, request_id: str, timeout: float) -> None:
        try:
            async with asyncio.timeout(timeout) as scope:
                self._turn.start_call_read(scope)
                try:
                    item = await anext(self._areader, None)
                finally:
                    self._turn.end_call_read()
        except TimeoutError:
            return  # the deadline, or a program read that goes first
        if item is None:
            raise self._ended_before(request_id)
        self._keep(self._filter(item))
