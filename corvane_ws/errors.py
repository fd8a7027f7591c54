"""The errors of corvane_ws, one hierarchy for both exchanges.

- ``ConnectError`` (a ``ConnectionError``): a connection could not be opened; ``.reason`` says
  why. ``LoginRefused`` (OKX refused the login; ``.code``, ``.msg``) and ``OpenTimeout`` (also a
  ``TimeoutError``) are kinds of it.
- ``ConnectionClosed`` (a ``ConnectionError``): ``recv()`` on a stream that has ended;
  ``.reason`` says why (None after a clean close or ``disconnect()``).
- ``RequestRefused``, ``RequestOutcomeUnknown``, ``RequestNotSent``: the module's own (all
  ``RuntimeError``). The exchange said no / the request may or may not have been carried out
  (query by client id before placing again) / it never left.
- ``OrderRejected`` (a ``RequestRefused``): the exchange refused an order call; ``.code`` and
  ``.msg`` are the exchange's, ``.reply`` its whole answer as a dict. ``OrderNotFound`` is the
  kind for an order the exchange does not know or no longer has open (OKX 51603, 51400,
  51401; MEXC -2013, -2011), for a cancel, an amend and a query alike.
- ``RateLimited`` (a ``RequestRefused``, not an ``OrderRejected``): the exchange refused the
  call for its rate limit (HTTP 429 or 418, OKX 50011 or 50061); nothing was done, and the
  call may be made again after ``.retry_after`` seconds (None when the exchange said none).
"""

from __future__ import annotations

from typing import Any

from _corvane_ws_module import RequestNotSent, RequestOutcomeUnknown, RequestRefused

__all__ = [
    "ConnectError",
    "ConnectionClosed",
    "LoginRefused",
    "OpenTimeout",
    "OrderNotFound",
    "OrderRejected",
    "RateLimited",
    "RequestNotSent",
    "RequestOutcomeUnknown",
    "RequestRefused",
]


class ConnectError(ConnectionError):
    """The connection could not be opened. ``reason``: what the connection reported."""

    def __init__(self, reason: str) -> None:
        super().__init__(reason)
        self.reason = reason


class LoginRefused(ConnectError):
    """OKX refused the login (the connection has been closed). ``code`` and ``msg`` are OKX's."""

    def __init__(self, code: str, msg: str) -> None:
        super().__init__(f"login refused: {code} {msg}".rstrip())
        self.code = code
        self.msg = msg


class OpenTimeout(ConnectError, TimeoutError):
    """The connection did not open (and log in) within the time allowed; it has been closed."""


class ConnectionClosed(ConnectionError):
    """The stream has ended. ``reason``: the last failure or abnormal close, None if it ended
    cleanly (a close by either side with a reason-free normal code, or ``disconnect()``)."""

    def __init__(self, reason: str | None) -> None:
        super().__init__(reason or "the stream has ended")
        self.reason = reason


class _Answered:
    """What a refusal keeps of the exchange's answer."""

    code: str
    msg: str
    reply: dict[str, Any]
    status: int | None
    retry_after: float | None
    body: str

    def _keep(self, code: str, msg: str, reply: dict[str, Any], status: int | None,
              retry_after: float | None, body: str) -> None:
        self.code = code
        self.msg = msg
        self.reply = reply
        self.status = status
        self.retry_after = retry_after
        self.body = body


class OrderRejected(_Answered, RequestRefused):  # type: ignore[misc]
    """The exchange refused an order call; nothing was done. ``code`` and ``msg``: the
    exchange's (OKX: the order's ``sCode``/``sMsg`` when it has them); ``reply``: its whole
    answer; ``status``: the HTTP status (MEXC), None on OKX's WebSocket. For one order of a
    batch, ``index`` (its place in the list given) and ``client_order_id`` (None when it had
    none), also named in the message; both None otherwise."""

    def __init__(self, code: str, msg: str, reply: dict[str, Any], status: int | None = None,
                 retry_after: float | None = None, body: str = "", *,
                 index: int | None = None, client_order_id: str | None = None) -> None:
        text = f"Order rejected: {code} {msg}".rstrip()
        if index is not None:
            text += f" (orders[{index}]" + (
                f", client_order_id {client_order_id})" if client_order_id is not None else ")")
        super().__init__(text)
        self._keep(code, msg, reply, status, retry_after, body)
        self.index = index
        self.client_order_id = client_order_id


class OrderNotFound(OrderRejected):
    """The exchange has no such order, or none open by that id (OKX 51603, 51400, 51401; MEXC
    -2013, -2011): for a cancel or an amend, the order may have filled or been cancelled."""


class RateLimited(_Answered, RequestRefused):  # type: ignore[misc]
    """The exchange refused the call for its rate limit; nothing was done. ``retry_after``:
    the seconds it asked to wait (None when it said none); ``code``, ``msg``, ``reply``,
    ``status`` and ``body`` as ``OrderRejected``'s."""

    def __init__(self, code: str, msg: str, reply: dict[str, Any], status: int | None = None,
                 retry_after: float | None = None, body: str = "") -> None:
        super().__init__(f"Rate limited: {code} {msg}".rstrip())
        self._keep(code, msg, reply, status, retry_after, body)
