"""The calls waiting for OKX's reply to their request, and the matching of what the stream
carries to them. No I/O: whoever takes a message off the stream (a reader, or the waiting call
itself when nobody reads) feeds it to ``match``; a match completes the call's future, which wakes
the call at once. Used from any thread: each step is one dict operation under the GIL."""

from __future__ import annotations

import json
from concurrent.futures import Future
from typing import Any

Reply = dict[str, Any]


class Acks:
    """The futures of the calls waiting for a reply, by request id."""

    def __init__(self) -> None:
        self._waiters: dict[str, Future[Reply]] = {}

    def __bool__(self) -> bool:
        """Whether any call waits (a message is then looked at before it is delivered)."""
        return bool(self._waiters)

    def expect(self, request_id: str) -> Future[Reply]:
        """The future the reply to `request_id` completes; register it before the request
        goes out, so that no reply can come first."""
        waiter: Future[Reply] = Future()
        self._waiters[request_id] = waiter
        return waiter

    def forget(self, request_id: str) -> None:
        """The call for `request_id` waits no longer: a later reply goes to the stream."""
        self._waiters.pop(request_id, None)

    def match(self, text: str) -> bool:
        """Hands `text` to the call it answers; True if one was waiting (the message is then
        consumed). An error event answers an operation too (OKX refused it as a whole: 60028
        not on this URL, 60011 not logged in, 60012 a bad request): it completes the call its
        id names at once."""
        # only while a call waits: a private stream is not busy
        if '"op":"' not in text and '"event":"error"' not in text:
            return False
        try:
            reply = json.loads(text)
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

    def _only_operation(self, event: Reply) -> str | None:
        """The call an error event without an id answers: only 60028 (an operation this URL
        does not take), only while exactly one call waits; other codes may answer a
        subscription, and they are left to the stream."""
        waiting = list(self._waiters)
        return waiting[0] if event.get("code") == "60028" and len(waiting) == 1 else None
