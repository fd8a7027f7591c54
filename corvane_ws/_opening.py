"""Opening a connection, step by step, without I/O: fed what the module's meta reader gives
while ``connect()`` waits, it says when the stream is ready or raises why it cannot open.
Events of earlier connections are past; the first "open" after them is ours, and a private OKX
stream is ready only once OKX accepted the login. Owned by the connector; one connect at a
time feeds it."""

from __future__ import annotations

import json
from collections.abc import Callable
from enum import Enum
from typing import Any

import _corvane_ws_module as _m

from .errors import ConnectError, LoginRefused, OpenTimeout


class Phase(Enum):
    WAITING_OPEN = "waiting for this connection's open"
    AWAITING_LOGIN = "open, waiting for the login reply"
    READY = "ready"
    FAILED = "failed"


_MOVES: dict[Phase, frozenset[Phase]] = {
    # a connect abandoned midway (interrupted) is followed by the next one
    Phase.WAITING_OPEN: frozenset({Phase.WAITING_OPEN, Phase.AWAITING_LOGIN, Phase.READY,
                                   Phase.FAILED}),
    Phase.AWAITING_LOGIN: frozenset({Phase.WAITING_OPEN, Phase.READY, Phase.FAILED}),
    Phase.READY: frozenset({Phase.WAITING_OPEN}),
    Phase.FAILED: frozenset({Phase.WAITING_OPEN}),
}


class Opening:
    """Where the current connect stands, and what it read that belongs to the program
    (handed to `keep`, in order)."""

    def __init__(self, login: bool, keep: Callable[[Any], None]) -> None:
        self._login = login  # an OKX private connector: ready after the login
        self._keep = keep
        self.phase = Phase.READY
        self.seen = 0
        """The newest connection whose events are past."""
        self.login_reply: dict[str, Any] | None = None
        """The login reply of the current private connection (None elsewhere)."""

    def _move(self, to: Phase) -> None:
        if to not in _MOVES[self.phase]:
            raise AssertionError(f"opening: {self.phase.name} -> {to.name}")
        self.phase = to

    def begin(self) -> None:
        """A connect starts."""
        self._move(Phase.WAITING_OPEN)

    def feed(self, item: _m.Message | _m.Event) -> bool:
        """One item of the module's meta reader: True once the stream is ready, False to read
        on; raises why it cannot open."""
        if isinstance(item, _m.Event):
            if item.kind in ("book_synced", "book_resync"):  # the program's, as a message
                self._keep(item)
                return False
            return self.event(item.kind, item.connection, item.reason)
        return self.message(item.data, item.connection)

    def message(self, data: str | bytes, connection: int) -> bool:
        """A message read while opening: the login reply, or one for the program."""
        if (self.phase is Phase.AWAITING_LOGIN and isinstance(data, str)
                and self._is_login_reply(data)):
            return self._ready(connection)
        self._keep(data)
        return False

    def event(self, kind: str, connection: int, reason: str = "") -> bool:
        """An event of `connection` ("open", "fail", "close", "error", …)."""
        if connection <= self.seen:  # an earlier connection's
            return False
        if kind == "open" and self.phase is Phase.WAITING_OPEN:
            if not self._login:
                return self._ready(connection)
            self._move(Phase.AWAITING_LOGIN)
        elif kind in ("fail", "close", "error"):
            self.seen = connection
            self._move(Phase.FAILED)
            raise ConnectError(reason or kind)
        return False

    def ended(self, reason: str | None) -> ConnectError:
        """The error for a stream that ended before it was ready."""
        self._move(Phase.FAILED)
        return ConnectError(reason or "closed while opening")

    def timed_out(self, timeout: float) -> OpenTimeout:
        """The error for a stream not ready within `timeout` seconds."""
        self._move(Phase.FAILED)
        return OpenTimeout(f"not open within {timeout} s")

    def _ready(self, connection: int) -> bool:
        self.seen = connection
        self._move(Phase.READY)
        return True

    def _is_login_reply(self, data: str) -> bool:
        try:
            reply = json.loads(data)
        except ValueError:
            return False
        if not isinstance(reply, dict) or reply.get("event") not in ("login", "error"):
            return False
        self.login_reply = reply
        if reply.get("code") != "0":
            self._move(Phase.FAILED)
            raise LoginRefused(str(reply.get("code")), str(reply.get("msg", "")))
        return True
