"""The events a stream reports between its messages."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Literal

type EventKind = Literal["connected", "disconnected", "connect_failed", "waiting", "stopped",
                         "gap", "subscribe_failed", "book_synced", "book_resync"]


@dataclass(frozen=True, slots=True)
class StreamEvent:
    """One step of a stream. ``attempt``: the connect it belongs to, from 1; ``reason``: why it
    failed or ended (None for a clean end); ``delay``: seconds until the next attempt
    ("waiting" only). A "gap" (connectors made with ``report_gaps=True``) is a break in an
    exchange's order-book sequence, ahead of the push that shows it: ``channel``,
    ``instrument``, the sequence number ``expected`` and the one that came (``got``); its
    ``attempt`` is the connector's ``connect()`` calls so far; a "gap" with a ``reason`` and no
    channel (``Reconnecting``) is a connection closed because the program fell behind by
    ``limit_queue`` and its margin: what came after its last message was not kept. A
    "subscribe_failed" is the
    exchange's refusal of a subscription: its ``code`` and message (``reason``), and on MEXC the
    refused streams (``channel``); its ``attempt`` as a gap's. A "book_resync" is a tracked
    order book (``channel``, ``instrument``) gone out of sync and being synced again, with the
    reason: "start", "gap", "reconnect", "crossed" or "snapshot_failed"; a "book_synced" is
    the book in step again."""

    kind: EventKind
    attempt: int
    reason: str | None = None
    delay: float | None = None
    channel: str | None = None
    instrument: str | None = None
    expected: int | None = None
    got: int | None = None
    code: str | None = None
