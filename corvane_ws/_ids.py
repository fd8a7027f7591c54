"""Request ids for OKX's order operations: letters and digits, at most 32, unique within the
process (a random prefix keeps two processes on one account apart)."""

from __future__ import annotations

import itertools
import secrets

_prefix = "cw" + secrets.token_hex(4)
_counter = itertools.count(1)


def next_request_id() -> str:
    return f"{_prefix}{next(_counter)}"
