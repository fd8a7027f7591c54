"""The module's printed lines go to the logger ``corvane_ws`` instead of standard output and
standard error, once the first connector of this package is made: INFO for what the module
prints on standard output, WARNING and ERROR for standard error's lines. The logger has a
NullHandler, as a library's should: nothing appears unless the program configures logging."""

from __future__ import annotations

import logging
import threading

import _corvane_ws_module as _m

logger = logging.getLogger("corvane_ws")
logger.addHandler(logging.NullHandler())

_lock = threading.Lock()
_routed = False


def route_output() -> None:
    """Routes the module's lines into ``logging`` (idempotent). Programs that import the module
    alone keep its lines on standard output and standard error."""
    global _routed
    with _lock:
        if not _routed:
            _m.set_output(logger.log)
            _routed = True
