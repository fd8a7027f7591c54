"""What the blocking and the asyncio connectors share around the module's connector, free of
their I/O: the messages read for the program meanwhile, the filter each message passes (a reply
a call waits for, what an exchange consumes, a gap), the opening steps and the state reported
after a connect. The connectors (``_connection``) are the drivers that read, send and wait;
whichever thread or task reads at a time (their read turn) runs the filter.

The package API for the exchanges' connectors: ``Core`` with its constructor keywords
(``deliver``, ``login``, ``acks``) and ``native``, ``SKIP``, ``Deliver`` and ``to_stream``;
``_connection.wait_reply``/``await_reply`` for a call that awaits its reply."""

from __future__ import annotations

import time
from collections import deque
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any, Final

import _corvane_ws_module as _m

from ._acks import Acks
from ._books import BOOK_EVENTS, OrderBook, book_event
from ._events import StreamEvent
from ._opening import Opening
from ._refusals import Reader
from ._seconds import optional_seconds, seconds
from ._output import route_output
from .errors import ConnectError, RequestNotSent, RequestOutcomeUnknown, RequestRefused

Item = str | bytes | dict[str | int, Any] | StreamEvent
"""A message as the connector gives it: ``str`` for a text frame, ``bytes`` for a binary one,
a dict for a MEXC protobuf push when the connector decodes them, or a ``StreamEvent`` of kind
"gap" when it reports gaps."""

DEFAULT_PING_INTERVAL: Final = 15.0
"""Seconds between keep-alive pings (OKX: after that long without any message, as OKX asks
for a ping within 30 s of silence; MEXC: its PING every interval)."""

DEFAULT_PING_TIMEOUT: Final = 10.0
"""Seconds a ping may go unanswered (nothing at all arriving) before the connection is closed
as dead: a peer that hangs is found within 25 s."""

SKIP: Final = object()
"""What ``deliver`` returns for a message the connector consumes (never given the program)."""

Deliver = Callable[[str | bytes], object]


def remaining(deadline: float | None) -> float | None:
    return None if deadline is None else max(0.0, deadline - time.monotonic())


@contextmanager
def connect_errors() -> Iterator[None]:
    """The module's refusal to connect as a ``ConnectError`` with its reason."""
    try:
        yield
    except (RequestRefused, RequestOutcomeUnknown, RequestNotSent, RuntimeError) as e:
        raise ConnectError(str(e)) from e


def _keepalive_seconds(value: float | None, name: str) -> float | None:
    """A keep-alive time: None (off) or seconds > 0; a ``ValueError`` naming `name` for 0, a
    negative number or NaN."""
    if value is not None and not value > 0:
        raise ValueError(f"{name} must be a number of seconds > 0 or None, got {value!r}")
    return optional_seconds(value, name)


def to_stream(core: Core, message: Item) -> None:
    """Hands `message` to the program's stream, ahead of what the module holds."""
    core._pending.append(message)


class Core:
    """The state both connectors keep around the module's connector. `deliver`: what the
    program gets for a message (or ``SKIP``); `login`: the stream is ready after OKX's login
    reply; `acks`: the calls waiting for their reply, matched on every message read;
    `refusal`: reads the exchange's refusal of a subscription."""

    def __init__(self, native: _m.BaseExchangeConnector, url: str, limit_queue: int,
                 open_timeout: float, report_gaps: bool = False, *, deliver: Deliver | None = None,
                 login: bool = False, acks: Acks | None = None,
                 refusal: Reader | None = None,
                 ping_interval: float | None = DEFAULT_PING_INTERVAL,
                 ping_timeout: float | None = DEFAULT_PING_TIMEOUT) -> None:
        route_output()
        if isinstance(limit_queue, bool) or not isinstance(limit_queue, int):
            raise TypeError(f"limit_queue must be an int (bytes), not {type(limit_queue).__name__}")
        if limit_queue < 0:
            raise ValueError("limit_queue must be 0 (no bound) or a number of bytes")
        self.ping_interval = _keepalive_seconds(ping_interval, "ping_interval")
        """Seconds between keep-alive pings (None: no pings)."""
        self.ping_timeout = _keepalive_seconds(ping_timeout, "ping_timeout")
        """Seconds without any message after a ping before the connection is closed as dead
        (None: never)."""
        native.set_keepalive(self.ping_interval, self.ping_timeout)
        self._native = native
        self.url = url
        """The WebSocket URL this connector connects to."""
        self.open_timeout = seconds(open_timeout, "open_timeout")
        """Seconds ``connect()`` waits for the stream to be ready."""
        native.limit_queue(limit_queue)
        self._pending: deque[Item] = deque()  # read while opening or waiting for an ack
        self._connects = 0  # connect() calls: a gap's attempt
        # Gaps are events of the module's meta reader: only a connector that asks for them
        # reads that way (and filters through _filter_meta), so that the others keep the
        # plain path, without a check per message.
        self._meta = report_gaps
        self._reader: _m.WebSocketIterator[Any] = (native.wsrun(meta=True) if report_gaps
                                                   else native.wsrun())
        if report_gaps:
            self._filter = self._filter_meta  # type: ignore[method-assign,assignment]
        self._plain: Iterator[Any] = self._reader.until_end()
        self._deliver = deliver
        self._refused = refusal
        self._login = login
        self._acks = acks if acks is not None else Acks()
        self._opening = Opening(login, self._keep_opening)
        self._books: dict[tuple[str, str], OrderBook] = {}
        self._delivers: dict[tuple[str, str], bool] = {}
        self._disconnected = False  # disconnect() called since the last connect
        self._overruns = 0  # the module's queue_overruns when the last connect began

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

    @property
    def login_reply(self) -> dict[str, Any] | None:
        """The OKX login reply of the current private connection (None elsewhere)."""
        return self._opening.login_reply

    def _begin_open(self) -> Opening:
        """A connect starts: its opening steps."""
        self._disconnected = False
        self._connects += 1
        self._overruns = self._native.stats()["queue_overruns"]
        self._opening.begin()
        return self._opening

    def _plain_messages(self) -> bool:
        """Whether the program gets the module's messages as they are (no Python per
        message)."""
        return not self._login and self._deliver is None

    def _filter(self, item: str | bytes) -> object:
        if self._acks and type(item) is str and self._acks.match(item):
            return SKIP
        return self._refusal(item if self._deliver is None else self._deliver(item))

    def _refusal(self, item: object) -> object:
        """`item`, or a "subscribe_failed" event when it is the exchange's refusal of a
        subscription."""
        if type(item) is str and self._refused is not None and (
                refused := self._refused(item)) is not None:
            code, msg, streams = refused
            return StreamEvent("subscribe_failed", self._connects, msg, channel=streams,
                               code=code)
        return item

    def _filter_meta(self, item: _m.Message | _m.Event) -> object:
        if type(item) is not _m.Event:
            return Core._filter(self, item.data)
        if item.kind in BOOK_EVENTS:
            return book_event(item, self._connects)
        if item.kind != "gap":  # the others are reported by connect() and close_reason
            return SKIP
        return StreamEvent("gap", self._connects, channel=item.channel,
                           instrument=item.instrument, expected=item.expected, got=item.got)

    def _keep_opening(self, item: object) -> None:
        """What connect() read for the program: a message, or a book's event."""
        if type(item) is _m.Event:
            item = book_event(item, self._connects)
        self._pending.append(item)  # type: ignore[arg-type]

    _book_class: type[OrderBook] = OrderBook

    def _track_book(self, channel: str, instrument: str, deliver: bool,
                    subscribe: Callable[[], None]) -> OrderBook:
        """The book of `channel` and `instrument`, tracked and subscribed once."""
        key = (channel, instrument)
        if key in self._books:
            if self._delivers[key] != deliver:
                raise ValueError(f"the book of {channel} {instrument} is kept already with "
                                 f"deliver={self._delivers[key]}")
            return self._books[key]
        book = self._book_class(self._native.track_book(channel, instrument, deliver))
        self._use_meta()
        subscribe()
        self._books[key] = book
        self._delivers[key] = deliver
        return book

    def _untrack_book(self, channel: str, instrument: str) -> None:
        """The book of `channel` and `instrument`, if kept, is kept no longer."""
        self._delivers.pop((channel, instrument), None)
        if self._books.pop((channel, instrument), None) is not None:
            self._native.untrack_book(channel, instrument)

    def _use_meta(self) -> None:
        """Reads the module's meta stream from now on: a tracked book's events are the
        program's."""
        if self._meta:
            return
        self._meta = True
        self._reader = self._native.wsrun(meta=True)
        self._filter = self._filter_meta  # type: ignore[method-assign,assignment]
        self._plain = self._reader.until_end()

    def _overrun_gap(self) -> StreamEvent | None:
        """A "gap" when the stream of the last connect ended because the program fell behind by
        limit_queue and its margin: what the exchange sent after its last message was not
        kept."""
        if self._native.stats()["queue_overruns"] == self._overruns:
            return None
        return StreamEvent("gap", self._connects, self.close_reason)

    def _no_reply(self, request_id: str, timeout: float) -> RequestOutcomeUnknown:
        return RequestOutcomeUnknown(
            f"Request outcome unknown: no reply to {request_id} within {timeout} s")

    def _ended_before(self, request_id: str) -> RequestOutcomeUnknown:
        return RequestOutcomeUnknown(
            f"Request outcome unknown: the stream ended before the reply to {request_id} "
            f"({self.close_reason})")

    def _keep(self, delivered: object) -> None:
        """A message read while waiting for a reply: the program's, unless consumed."""
        if delivered is not SKIP:
            self._pending.append(delivered)  # type: ignore[arg-type]
