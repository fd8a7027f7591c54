"""What both exchanges' connectors share, blocking and asyncio: opening a connection and waiting
until its stream is ready, reading with a time limit, iteration that ends as Python's does,
and closing. A connector is used from any thread; its connection runs on a native thread of its
own, which never runs Python."""

from __future__ import annotations

import asyncio
import itertools
import json
import threading
import time
from collections import deque
from collections.abc import AsyncIterator, Iterator
from concurrent.futures import Future, wait
from types import TracebackType
from typing import Any, Final, Self

import _corvane_ws_module as _m

from ._events import StreamEvent
from ._output import route_output
from .errors import (ConnectError, ConnectionClosed, LoginRefused, OpenTimeout,
                     RequestNotSent, RequestOutcomeUnknown, RequestRefused)

DEFAULT_QUEUE_LIMIT: Final = 64 << 20
"""Bytes of received messages that may wait for the program (64 MiB) before the connection
stops reading its socket until the program catches up (TCP then holds the exchange back).
Nothing is dropped. ``limit_queue=0`` lifts the bound."""

DEFAULT_OPEN_TIMEOUT: Final = 10.0
"""Seconds ``connect()`` waits for the stream to open (and, on a private OKX connector, for the
login reply)."""

Item = str | bytes | dict[str | int, Any] | StreamEvent
"""A message as the connector gives it: ``str`` for a text frame, ``bytes`` for a binary one,
a dict for a MEXC protobuf push when the connector decodes them, or a ``StreamEvent`` of kind
"gap" when it reports gaps."""

_SKIP: Final = object()
_SLICE: Final = 0.05  # an ack waiter re-checks who reads this often


def _remaining(deadline: float | None) -> float | None:
    return None if deadline is None else max(0.0, deadline - time.monotonic())


class _Core:
    """The state both the blocking and the asyncio connectors keep around the module's
    connector."""

    _private_login = False  # an OKX private connector: the stream is ready after the login

    def __init__(self, native: _m.BaseExchangeConnector, url: str, limit_queue: int,
                 open_timeout: float, report_gaps: bool = False) -> None:
        route_output()
        if limit_queue < 0:
            raise ValueError("limit_queue must be 0 (no bound) or a number of bytes")
        self._native = native
        self.url = url
        """The WebSocket URL this connector connects to."""
        self.open_timeout = open_timeout
        """Seconds ``connect()`` waits for the stream to be ready."""
        native.limit_queue(limit_queue)
        self._pending: deque[Item] = deque()  # read while opening or waiting for an ack
        self._seen = 0  # the newest connection whose events are past
        self._connects = 0  # connect() calls: a gap's attempt
        # Gaps are events of the module's meta reader: only a connector that asks for them
        # reads that way (and filters through _filter_meta), so that the others keep the
        # plain path, without a check per message.
        self._meta = report_gaps
        self._reader: _m.WebSocketIterator[Any] = (native.wsrun(meta=True) if report_gaps
                                                   else native.wsrun())
        if report_gaps:
            self._filter = self._filter_meta  # type: ignore[method-assign,assignment]
        self._plain = self._reader.until_end()
        self._read_lock = threading.Lock()
        self._waiters: dict[str, Future[dict[str, Any]]] = {}
        self.login_reply: dict[str, Any] | None = None
        """The OKX login reply of the current private connection (None elsewhere)."""
        self._disconnected = False  # disconnect() called since the last connect

    @property
    def native(self) -> _m.BaseExchangeConnector:
        """The ``_corvane_ws_module`` connector underneath, for what this package does not wrap
        (``stats()``, ``max_connection_age``, ``wsrun(meta=True)``)."""
        return self._native

    @property
    def connected(self) -> bool:
        """Whether the connection is open now."""
        return bool(self._native.stats()["connected"])

    @property
    def close_reason(self) -> str | None:
        """Why the stream ended: the connector's last failure, error or abnormal close
        ("Connection reset by peer", "HTTP 503", …); None while it is open, after
        ``disconnect()`` and if it never failed."""
        stats = self._native.stats()
        return None if stats["connected"] or self._disconnected else stats["last_error"]

    def _deliver(self, item: str | bytes) -> object:
        """A message as the program gets it, or _SKIP for one this package consumes."""
        return item

    def _take_ack(self, item: str) -> bool:
        """Hands an OKX order reply to the call waiting for it; True if one was waiting. An
        error event answers an operation too (OKX refused it as a whole: 60028 not on this
        URL, 60011 not logged in, 60012 a bad request): it fails the call its id names at
        once."""
        # only while a call waits: a private stream is not busy
        if '"op":"' not in item and '"event":"error"' not in item:
            return False
        try:
            reply = json.loads(item)
        except ValueError:
            return False
        if not isinstance(reply, dict):
            return False
        ident = reply.get("id")
        if ident is None and reply.get("event") == "error":
            ident = self._only_operation(reply)
        waiter = self._waiters.pop(str(ident), None) if ident is not None else None
        if waiter is None:
            return False
        waiter.set_result(reply)
        return True

    def _only_operation(self, event: dict[str, Any]) -> str | None:
        """The call an error event without an id answers: only 60028 (an operation this URL
        does not take), only while exactly one call waits; other codes may answer a
        subscription, and they are left to the stream."""
        waiting = list(self._waiters)
        return waiting[0] if event.get("code") == "60028" and len(waiting) == 1 else None

    def _filter(self, item: str | bytes) -> object:
        if self._waiters and type(item) is str and self._take_ack(item):
            return _SKIP
        return self._deliver(item)

    def _filter_meta(self, item: _m.Message | _m.Event) -> object:
        if type(item) is not _m.Event:
            return _Core._filter(self, item.data)
        if item.kind != "gap":  # the others are reported by connect() and close_reason
            return _SKIP
        return StreamEvent("gap", self._connects, channel=item.channel,
                           instrument=item.instrument, expected=item.expected, got=item.got)

    # Opening: events of earlier connections are past; the first "open" after them is ours.
    def _opening_step(self, item: _m.Message | _m.Event, opened: bool) -> bool | None:
        """One item read while opening: True once the stream is ready, False to read on;
        raises why it cannot open. None: the connection is open, the login reply is awaited."""
        if isinstance(item, _m.Event):
            if item.connection <= self._seen:  # an earlier connection's
                return None if opened else False
            if item.kind == "open":
                if not self._private_login:
                    self._seen = item.connection
                    return True
                return None
            if item.kind in ("fail", "close", "error"):
                self._seen = item.connection
                raise ConnectError(item.reason or item.kind)
            return None if opened else False
        data = item.data
        if opened and self._private_login and isinstance(data, str) and self._is_login_reply(data):
            self._seen = item.connection
            return True
        self._pending.append(data)
        return None if opened else False

    def _is_login_reply(self, data: str) -> bool:
        try:
            reply = json.loads(data)
        except ValueError:
            return False
        if not isinstance(reply, dict) or reply.get("event") not in ("login", "error"):
            return False
        self.login_reply = reply
        if reply.get("code") != "0":
            raise LoginRefused(str(reply.get("code")), str(reply.get("msg", "")))
        return True


class Connection(_Core):
    """A blocking connector: ``with`` connects (and waits until the stream is open), iteration
    gives each message until the stream ends, ``recv(timeout=)`` one message."""

    def connect(self) -> Self:
        """Opens the connection and waits until its stream is ready (OKX private: logged in).
        Raises ``ConnectError`` (``LoginRefused``, ``OpenTimeout``) with the reason; the
        connection is closed then."""
        opening = self._native.wsrun(meta=True)
        self._disconnected = False
        self._connects += 1
        try:
            self._native.connect(self.url)
        except (RequestRefused, RequestOutcomeUnknown, RequestNotSent, RuntimeError) as e:
            raise ConnectError(str(e)) from e
        deadline = time.monotonic() + self.open_timeout
        opened: bool | None = False
        try:
            while True:
                try:
                    item = opening.recv(_remaining(deadline))
                except TimeoutError:
                    raise OpenTimeout(f"not open within {self.open_timeout} s") from None
                if item is None:
                    raise ConnectError(self.close_reason or "closed while opening")
                step = self._opening_step(item, opened is None)
                if step:
                    return self
                opened = step
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

    def __iter__(self) -> Iterator[Any]:
        """Each message in arrival order; the loop ends when the stream has ended (then see
        ``close_reason``)."""
        if self._fast_iteration():
            if self._meta:  # a message's data, or a gap; no lock, no timer
                return itertools.chain(self._drain_pending(), self._unwrap(self._plain))
            if not self._pending:
                return self._plain  # the module's own iterator: no Python per message
            return itertools.chain(self._drain_pending(), self._plain)
        return self._messages()

    def _fast_iteration(self) -> bool:
        return not self._private_login and type(self)._deliver is _Core._deliver

    def _unwrap(self, items: Iterator[Any]) -> Iterator[Any]:
        message = _m.Message
        for item in items:
            if type(item) is message:
                yield item.data
            elif (event := self._filter_meta(item)) is not _SKIP:
                yield event

    def _drain_pending(self) -> Iterator[Item]:
        while self._pending:
            yield self._pending.popleft()

    def _messages(self) -> Iterator[Any]:
        while True:
            try:
                yield self.recv()
            except ConnectionClosed:
                return

    def recv(self, timeout: float | None = None) -> Any:
        """The next message, waiting at most ``timeout`` seconds (None: as long as it takes).
        ``TimeoutError`` when none came in time (nothing is lost: a later call gets it),
        ``ConnectionClosed`` once the stream has ended."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            left = _remaining(deadline)
            if not self._read_lock.acquire(timeout=-1 if left is None else left):
                raise TimeoutError("No message within the timeout")
            try:
                if self._pending:
                    return self._pending.popleft()
                item = self._reader.recv(_remaining(deadline))
                if item is None:
                    raise ConnectionClosed(self.close_reason)
                delivered = self._filter(item)
                if delivered is not _SKIP:
                    return delivered
            finally:
                self._read_lock.release()

    def _await_ack(self, request_id: str, waiter: Future[dict[str, Any]],
                   timeout: float) -> dict[str, Any]:
        """The reply to `request_id`: read here when no other thread is reading, else handed
        over by the reader."""
        deadline = time.monotonic() + timeout
        try:
            while not waiter.done():
                left = _remaining(deadline) or 0.0
                if left <= 0:
                    raise RequestOutcomeUnknown(
                        f"Request outcome unknown: no reply to {request_id} within {timeout} s")
                if self._read_lock.acquire(blocking=False):
                    try:
                        if waiter.done():
                            break
                        try:
                            item = self._reader.recv(min(left, _SLICE))
                        except TimeoutError:
                            continue
                        if item is None:
                            raise RequestOutcomeUnknown(
                                f"Request outcome unknown: the stream ended before the reply to "
                                f"{request_id} ({self.close_reason})")
                        delivered = self._filter(item)
                        if delivered is not _SKIP:
                            self._pending.append(delivered)  # type: ignore[arg-type]
                    finally:
                        self._read_lock.release()
                else:
                    wait([waiter], min(left, _SLICE))
        finally:
            self._waiters.pop(request_id, None)
        return waiter.result()


class AsyncConnection(_Core):
    """An asyncio connector: ``async with`` connects (and waits until the stream is open),
    ``async for`` gives each message until the stream ends, ``await recv(timeout=)`` one
    message. Blocking steps (connecting, REST calls, closing) run in a worker thread."""

    def __init__(self, native: _m.BaseExchangeConnector, url: str, limit_queue: int,
                 open_timeout: float, report_gaps: bool = False) -> None:
        super().__init__(native, url, limit_queue, open_timeout, report_gaps)
        self._areader: _m.AsyncWebSocketIterator[Any] = (
            native.wsrun_async(meta=True) if report_gaps else native.wsrun_async())
        self._areading = False

    async def connect(self) -> Self:
        """Opens the connection and waits until its stream is ready (OKX private: logged in).
        Raises ``ConnectError`` (``LoginRefused``, ``OpenTimeout``) with the reason; the
        connection is closed then."""
        opening = self._native.wsrun_async(meta=True)
        self._disconnected = False
        self._connects += 1
        try:
            await asyncio.to_thread(self._native.connect, self.url)
        except (RequestRefused, RequestOutcomeUnknown, RequestNotSent, RuntimeError) as e:
            raise ConnectError(str(e)) from e
        opened: bool | None = False
        try:
            async with asyncio.timeout(self.open_timeout):
                async for item in opening:
                    step = self._opening_step(item, opened is None)
                    if step:
                        return self
                    opened = step
            raise ConnectError(self.close_reason or "closed while opening")
        except TimeoutError:
            await asyncio.to_thread(self._native.disconnect)
            raise OpenTimeout(f"not open within {self.open_timeout} s") from None
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

    def __aiter__(self) -> AsyncIterator[Any]:
        """Each message in arrival order; the loop ends when the stream has ended (then see
        ``close_reason``)."""
        if not self._private_login and type(self)._deliver is _Core._deliver:
            if self._meta:
                return self._aunwrap()
            if not self._pending:
                return self._areader  # the module's own iterator: no Python per message
        return self._amessages()

    async def _aunwrap(self) -> AsyncIterator[Any]:
        """A message's data, or a gap; no timer per message."""
        message = _m.Message
        while self._pending:
            yield self._pending.popleft()
        async for item in self._areader:
            if type(item) is message:
                yield item.data
            elif (event := self._filter_meta(item)) is not _SKIP:
                yield event

    async def _amessages(self) -> AsyncIterator[Any]:
        while True:
            try:
                yield await self.recv()
            except ConnectionClosed:
                return

    async def recv(self, timeout: float | None = None) -> Any:
        """The next message, waiting at most ``timeout`` seconds (None: as long as it takes).
        ``TimeoutError`` when none came in time (nothing is lost: a later call gets it),
        ``ConnectionClosed`` once the stream has ended."""
        async with asyncio.timeout(timeout):
            while True:
                if self._pending:
                    return self._pending.popleft()
                self._areading = True
                try:
                    item = await anext(self._areader, None)
                finally:
                    self._areading = False
                if item is None:
                    raise ConnectionClosed(self.close_reason)
                delivered = self._filter(item)
                if delivered is not _SKIP:
                    return delivered

    async def _await_ack(self, request_id: str, waiter: Future[dict[str, Any]],
                         timeout: float) -> dict[str, Any]:
        """The reply to `request_id`: read here when no other task is reading, else handed over
        by the reader."""
        deadline = time.monotonic() + timeout
        try:
            while not waiter.done():
                left = _remaining(deadline) or 0.0
                if left <= 0:
                    raise RequestOutcomeUnknown(
                        f"Request outcome unknown: no reply to {request_id} within {timeout} s")
                if self._areading:
                    await asyncio.wait([asyncio.wrap_future(waiter)], timeout=min(left, _SLICE))
                    continue
                try:
                    async with asyncio.timeout(min(left, _SLICE)):
                        self._areading = True
                        try:
                            item = await anext(self._areader, None)
                        finally:
                            self._areading = False
                except TimeoutError:
                    continue
                if item is None:
                    raise RequestOutcomeUnknown(
                        f"Request outcome unknown: the stream ended before the reply to "
                        f"{request_id} ({self.close_reason})")
                delivered = self._filter(item)
                if delivered is not _SKIP:
                    self._pending.append(delivered)  # type: ignore[arg-type]
        finally:
            self._waiters.pop(request_id, None)
        return waiter.result()
