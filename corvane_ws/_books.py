"""Order books the connector keeps for the program: the module applies each push on the
connection's thread (exact decimals, the exchanges' sequence rules, resyncs by itself); Python
only reads consistent copies. ``OrderBook`` for the blocking connectors, ``AsyncOrderBook``
(``await wait_synced``) for the asyncio ones."""

from __future__ import annotations

import asyncio
import time
from collections.abc import Callable
from decimal import Decimal
from typing import Final

import _corvane_ws_module as _m

from ._events import StreamEvent
from ._seconds import optional_seconds

Level = tuple[Decimal, Decimal]
"""One price level: (price, size)."""

_SLICE: Final = 0.25  # a wait in slices: Ctrl-C and a cancelled task are heard between them

BOOK_EVENTS: Final = frozenset({"book_synced", "book_resync"})


def book_event(item: _m.Event, attempt: int) -> StreamEvent:
    """A module book event as the package's: "book_resync" with its reason ("start", "gap",
    "reconnect", "crossed", "snapshot_failed"), or "book_synced"."""
    return StreamEvent(item.kind, attempt, item.reason or None,  # type: ignore[arg-type]
                       channel=item.channel, instrument=item.instrument)


class OrderBook:
    """One instrument's book as the exchange keeps it, kept by the connector.

    - ``bids(depth=None)``, ``asks(depth=None)``: the best ``depth`` levels (all for None),
      best first, as a list of ``(price, size)`` ``Decimal`` pairs;
    - ``best_bid()``, ``best_ask()``: a pair, or None;
    - ``snapshot(depth=None)``: ``(seq, synced, bids, asks)`` taken at one moment;
    - ``synced``: whether the book is in step with the exchange's; ``seq``: the exchange's
      seqId (OKX) or version (MEXC) of the last push applied; ``ts``: its time (ms);
      ``resyncs``: resyncs by reason;
    - ``wait_synced(timeout)``: waits until synced.

    A read is a consistent copy, never a half-applied push. While the book is out of sync
    (before its first sync, and from a resync until the next) it shows no levels: what it held
    may be stale."""

    __slots__ = ("_book", "asks", "best_ask", "best_bid", "bids", "channel", "instrument",
                 "snapshot")

    bids: Callable[..., list[Level]]
    asks: Callable[..., list[Level]]
    best_bid: Callable[[], Level | None]
    best_ask: Callable[[], Level | None]
    snapshot: Callable[..., tuple[int, bool, list[Level], list[Level]]]

    def __init__(self, book: _m.Book) -> None:
        self._book = book
        # The module's own methods: no Python frame per read.
        self.bids = book.bids
        self.asks = book.asks
        self.best_bid = book.best_bid
        self.best_ask = book.best_ask
        self.snapshot = book.snapshot
        self.channel: str = book.channel
        """The exchange's channel (OKX) or stream (MEXC) the book is kept from."""
        self.instrument: str = book.instrument
        """The instrument (OKX instId, MEXC symbol)."""

    @property
    def synced(self) -> bool:
        return self._book.synced

    @property
    def seq(self) -> int:
        return self._book.seq

    @property
    def ts(self) -> int:
        return self._book.ts

    @property
    def version(self) -> int:
        """A number that changes whenever the levels or the sync change."""
        return self._book.version

    @property
    def resyncs(self) -> dict[str, int]:
        """Resyncs so far, by reason: "start", "gap", "reconnect", "crossed",
        "snapshot_failed"."""
        return self._book.resyncs

    def wait_synced(self, timeout: float | None = None) -> bool:
        """Waits until the book is synced, at most ``timeout`` seconds (None: no limit);
        whether it is."""
        timeout = optional_seconds(timeout, "timeout")
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            left = _SLICE if deadline is None else min(_SLICE, deadline - time.monotonic())
            if self._book.wait_synced(max(left, 0.0)):
                return True
            if deadline is not None and time.monotonic() >= deadline:
                return False

    def __repr__(self) -> str:
        state = "synced" if self.synced else "out of sync"
        return (f"<OrderBook {self.channel} {self.instrument} {state} seq={self.seq} "
                f"bid={self.best_bid()} ask={self.best_ask()}>")


class AsyncOrderBook(OrderBook):
    """``OrderBook`` for the asyncio connectors: ``await book.wait_synced(timeout)``."""

    __slots__ = ()

    async def wait_synced(self, timeout: float | None = None) -> bool:  # type: ignore[override]
        """Waits until the book is synced, at most ``timeout`` seconds (None: no limit);
        whether it is. The event loop runs meanwhile."""
        timeout = optional_seconds(timeout, "timeout")
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            left = _SLICE if deadline is None else min(_SLICE, deadline - time.monotonic())
            if await asyncio.to_thread(self._book.wait_synced, max(left, 0.0)):
                return True
            if deadline is not None and time.monotonic() >= deadline:
                return False
