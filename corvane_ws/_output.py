"""The module's printed lines go to the logger ``corvane_ws`` instead of standard output and
standard error, once the first connector of this package is made, one line per event at its
level: connection events at INFO ("Connection MEXC closed", a login reply), real faults at
WARNING ("Connection failed", a connection lost while open) or ERROR (a failed renewal),
library chatter at DEBUG (websocketpp's own lines around a failure, MEXC's pings, the
subscription list). The logger has a NullHandler, as a library's should: nothing appears
unless the program configures logging. Programs that import the module alone keep its lines,
as they are, on standard output and standard error."""

from __future__ import annotations

import logging
import re
import threading

import _corvane_ws_module as _m

logger = logging.getLogger("corvane_ws")
logger.addHandler(logging.NullHandler())

_lock = threading.Lock()
_routed = False

# websocketpp's lines: "[2026-01-01 12:00:00] [info] asio async_connect error: …"
_LIBRARY = re.compile(r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \[(\w+)\] (.*)")
# websocketpp's errors of a connect that failed: the module's "Connection failed" says it once
_CONNECT_FAILURES = ("handle_connect", "Server handshake response", "handle_transport_init",
                     "handle_read_handshake", "handle_write_http_request")
_CHATTER = ("Пингуем", "Channel: ")  # a ping sent; the subscription list after a subscribe
_FAULT = "Connection failed"


def level_of(level: int, line: str) -> int:
    """The level `line` (printed by the module at `level`) is logged at."""
    if (library := _LIBRARY.match(line)) is not None:
        tag, text = library.groups()
        if tag in ("error", "fatal") and not text.startswith(_CONNECT_FAILURES):
            return logging.WARNING  # a connection lost while open
        return logging.DEBUG
    if line.startswith(_CHATTER):
        return logging.DEBUG
    if line == _FAULT:
        return logging.WARNING
    return level


def _log(level: int, line: str) -> None:
    logger.log(level_of(level, line), "%s", line)


def route_output() -> None:
    """Routes the module's lines into ``logging`` (idempotent)."""
    global _routed
    with _lock:
        if not _routed:
            _m.set_output(_log)
            _routed = True
