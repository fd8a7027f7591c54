"""OKX connectors: ``OKX`` (blocking) and ``AsyncOKX`` (asyncio).

Public by default; with ``api_key=``, ``secret=`` and ``passphrase=`` private, logged in on every
open. Production hosts by default, ``demo=True`` for OKX's demo trading (wspap.okx.com; its
REST calls carry ``x-simulated-trading: 1``).
"""

from __future__ import annotations

import asyncio
import json
from collections.abc import Callable
from concurrent.futures import Future
from typing import Any, Final, Literal

import _corvane_ws_module as _m

from ._connection import DEFAULT_OPEN_TIMEOUT, DEFAULT_QUEUE_LIMIT, AsyncConnection, Connection
from ._ids import next_request_id
from ._numbers import Number, decimal_text
from ._orders import OKX_TYPES, OrderType, Side, check_order, rejected

__all__ = ["OKX", "AsyncOKX", "OKX_HOST", "OKX_DEMO_HOST"]

OKX_HOST: Final = "wss://ws.okx.com:8443"
"""OKX's production WebSocket host."""
OKX_DEMO_HOST: Final = "wss://wspap.okx.com:8443"
"""OKX's demo-trading WebSocket host."""

type Endpoint = Literal["public", "private", "business"]

DEFAULT_ACK_TIMEOUT: Final = 5.0


class _Okx:
    """What both OKX connectors share: credentials, URL, subscriptions and order requests."""

    _native: _m.BaseExchangeConnector
    _private_login: bool
    _waiters: dict[str, Future[dict[str, Any]]]

    @staticmethod
    def _setup(api_key: str | None, secret: str | None, passphrase: str | None, demo: bool,
               endpoint: Endpoint | None, url: str | None) -> tuple[_m.OkxConnector, str, bool]:
        given = [v is not None for v in (api_key, secret, passphrase)]
        if any(given) and not all(given):
            raise ValueError("a private OKX connector needs api_key, secret and passphrase")
        private = all(given)
        native = (_m.OkxConnector(api_key, secret, passphrase)  # type: ignore[arg-type]
                  if private else _m.OkxConnector())
        if url is None:
            path = endpoint or ("private" if private else "public")
            url = f"{OKX_DEMO_HOST if demo else OKX_HOST}/ws/v5/{path}"
        return native, url, private  # a private connector logs in on every endpoint

    def subscribe(self, channel: str, inst_id: str | None = None, *, inst_type: str | None = None,
                  inst_family: str | None = None) -> None:
        """Subscribes to ``channel`` (OKX's name: "tickers", "books5", "orders", …) for
        ``inst_id`` ("BTC-USDT"); private channels also by ``inst_type`` ("SPOT", "ANY"; OKX
        requires it on "orders" and "positions") and ``inst_family``. Recorded and sent again
        on every open (private: after every login)."""
        self._native.subscribe(**self._channel(channel, inst_id, inst_type, inst_family))

    def unsubscribe(self, channel: str, inst_id: str | None = None, *,
                    inst_type: str | None = None, inst_family: str | None = None) -> None:
        """Removes a subscription made with the same arguments."""
        self._native.unsubscribe(**self._channel(channel, inst_id, inst_type, inst_family))

    def _channel(self, channel: str, inst_id: str | None, inst_type: str | None,
                 inst_family: str | None) -> dict[str, str | None]:
        if not self._private_login:
            if inst_type is not None or inst_family is not None:
                raise ValueError("inst_type and inst_family are for private channels")
            if inst_id is None:
                raise ValueError(f"OKX's public channel {channel!r} needs inst_id")
            return {"channel": channel, "inst_id": inst_id}
        return {"channel": channel, "inst_id": inst_id, "inst_type": inst_type,
                "inst_family": inst_family}

    def _order(self, symbol: str, type: OrderType, side: Side, amount: Number,
               price: Number | None, client_order_id: str | None, td_mode: str,
               extra: dict[str, str | bool | None]) -> tuple[str, dict[str, Any]]:
        check_order(type, side, price)
        request_id = next_request_id()
        kwargs: dict[str, Any] = {
            "ord_id": request_id, "inst_id": symbol, "side": side, "ordType": OKX_TYPES[type],
            "sz": decimal_text(amount, "amount"),
            "px": "" if price is None else decimal_text(price, "price"),
            "tdMode": td_mode, "cl_ord_id": client_order_id, **extra}
        return request_id, kwargs

    def _cancel(self, symbol: str, id: str | None,
                client_order_id: str | None) -> tuple[str, dict[str, Any]]:
        if id is None and client_order_id is None:
            raise ValueError("cancel_order needs id or client_order_id")
        request_id = next_request_id()
        return request_id, {"msg_id": request_id, "inst_id": symbol, "ord_id": id,
                            "cl_ord_id": client_order_id}

    def _expect(self, request_id: str) -> Future[dict[str, Any]]:
        waiter: Future[dict[str, Any]] = Future()
        self._waiters[request_id] = waiter
        return waiter

    @staticmethod
    def _accepted(reply: dict[str, Any]) -> dict[str, Any]:
        """The order's entry of an OKX reply; OrderRejected unless OKX accepted it."""
        data = reply.get("data") or [{}]
        entry = data[0] if isinstance(data, list) and isinstance(data[0], dict) else {}
        if reply.get("code") != "0" or entry.get("sCode", "0") != "0":
            code = entry.get("sCode") or reply.get("code")
            msg = entry.get("sMsg") or reply.get("msg", "")
            raise rejected(str(code), str(msg), reply)
        return entry

    @staticmethod
    def _found(text: str) -> dict[str, Any]:
        reply = json.loads(text)
        if reply.get("code") != "0" or not reply.get("data"):
            raise rejected(str(reply.get("code")), str(reply.get("msg", "")), reply)
        found: dict[str, Any] = reply["data"][0]
        return found


class OKX(_Okx, Connection):
    """A blocking OKX connector.

    >>> with OKX() as okx:                       # public, production
    ...     okx.subscribe("tickers", "BTC-USDT")
    ...     for message in okx: ...
    """

    def __init__(self, *, api_key: str | None = None, secret: str | None = None,
                 passphrase: str | None = None, demo: bool = False,
                 endpoint: Endpoint | None = None, url: str | None = None,
                 limit_queue: int = DEFAULT_QUEUE_LIMIT,
                 open_timeout: float = DEFAULT_OPEN_TIMEOUT) -> None:
        """Credentials are keyword-only; all three make a private connector. ``endpoint``:
        "public", "private" (default with credentials) or "business"; ``url`` replaces the
        whole URL (a simulator). ``limit_queue``: bytes that may wait for the program."""
        native, url, self._private_login = self._setup(api_key, secret, passphrase, demo,
                                                       endpoint, url)
        Connection.__init__(self, native, url, limit_queue, open_timeout)

    def create_order(self, symbol: str, type: OrderType, side: Side, amount: Number,
                     price: Number | None = None, *, client_order_id: str | None = None,
                     td_mode: str = "cash", wait: bool = True,
                     timeout: float = DEFAULT_ACK_TIMEOUT, **extra: str | bool | None) -> dict[str, Any]:
        """Places an order: ``symbol`` "BTC-USDT", ``type`` "limit", "market", "post_only",
        "ioc" or "fok" (required), ``side`` "buy" or "sell", ``amount`` and ``price`` as
        Decimal, str or int (a float is refused), ``client_order_id`` 1 to 32 letters and
        digits. ``td_mode``: OKX's trade mode ("cash" for spot; "cross" or "isolated" for
        margin and derivatives); ``extra``: OKX's other order fields by the module's keywords
        (``pos_side``, ``tgt_ccy``, ``reduce_only``).

        With ``wait`` (default), returns OKX's acknowledgement of this request (its entry:
        ``ordId``, ``clOrdId``, ``sCode`` …), matched by request id; raises ``OrderRejected``
        when OKX refused it and ``RequestOutcomeUnknown`` when no reply came within
        ``timeout`` seconds. Without, returns ``{"id": request_id}`` at once; the reply comes
        on the stream."""
        request_id, kwargs = self._order(symbol, type, side, amount, price, client_order_id,
                                         td_mode, extra)
        return self._send(request_id, lambda: self._native.place_order(**kwargs), wait, timeout)

    def cancel_order(self, symbol: str, id: str | None = None, *,
                     client_order_id: str | None = None, wait: bool = True,
                     timeout: float = DEFAULT_ACK_TIMEOUT) -> dict[str, Any]:
        """Cancels an order by OKX's order ``id`` or your ``client_order_id``; returns and
        raises as ``create_order``."""
        request_id, kwargs = self._cancel(symbol, id, client_order_id)
        return self._send(request_id, lambda: self._native.cancel_order(**kwargs), wait, timeout)

    def fetch_order(self, symbol: str, id: str | None = None, *,
                    client_order_id: str | None = None) -> dict[str, Any]:
        """The order (OKX's fields: ``state``, ``accFillSz`` …) by ``id`` or
        ``client_order_id``, over signed REST; ``OrderNotFound`` if OKX has none."""
        text = self._native.query_order(inst_id=symbol, ord_id=id, cl_ord_id=client_order_id)
        return self._found(text)

    def _send(self, request_id: str, send: Callable[[], object], wait: bool,
              timeout: float) -> dict[str, Any]:
        if not wait:
            send()
            return {"id": request_id}
        waiter = self._expect(request_id)
        try:
            send()
        except BaseException:
            self._waiters.pop(request_id, None)
            raise
        return self._accepted(self._await_ack(request_id, waiter, timeout))


class AsyncOKX(_Okx, AsyncConnection):
    """An asyncio OKX connector; the arguments are ``OKX``'s.

    >>> async with AsyncOKX() as okx:
    ...     okx.subscribe("tickers", "BTC-USDT")
    ...     async for message in okx: ...
    """

    def __init__(self, *, api_key: str | None = None, secret: str | None = None,
                 passphrase: str | None = None, demo: bool = False,
                 endpoint: Endpoint | None = None, url: str | None = None,
                 limit_queue: int = DEFAULT_QUEUE_LIMIT,
                 open_timeout: float = DEFAULT_OPEN_TIMEOUT) -> None:
        """As ``OKX``."""
        native, url, self._private_login = self._setup(api_key, secret, passphrase, demo,
                                                       endpoint, url)
        AsyncConnection.__init__(self, native, url, limit_queue, open_timeout)

    async def create_order(self, symbol: str, type: OrderType, side: Side, amount: Number,
                           price: Number | None = None, *, client_order_id: str | None = None,
                           td_mode: str = "cash", wait: bool = True,
                           timeout: float = DEFAULT_ACK_TIMEOUT,
                           **extra: str | bool | None) -> dict[str, Any]:
        """As ``OKX.create_order``."""
        request_id, kwargs = self._order(symbol, type, side, amount, price, client_order_id,
                                         td_mode, extra)
        return await self._send(request_id, lambda: self._native.place_order(**kwargs), wait,
                                timeout)

    async def cancel_order(self, symbol: str, id: str | None = None, *,
                           client_order_id: str | None = None, wait: bool = True,
                           timeout: float = DEFAULT_ACK_TIMEOUT) -> dict[str, Any]:
        """As ``OKX.cancel_order``."""
        request_id, kwargs = self._cancel(symbol, id, client_order_id)
        return await self._send(request_id, lambda: self._native.cancel_order(**kwargs), wait,
                                timeout)

    async def fetch_order(self, symbol: str, id: str | None = None, *,
                          client_order_id: str | None = None) -> dict[str, Any]:
        """As ``OKX.fetch_order``."""
        text = await asyncio.to_thread(self._native.query_order, inst_id=symbol, ord_id=id,
                                       cl_ord_id=client_order_id)
        return self._found(text)

    async def _send(self, request_id: str, send: Callable[[], object], wait: bool,
                    timeout: float) -> dict[str, Any]:
        # The first order of an instrument looks its code up over REST: not on the loop.
        if not wait:
            await asyncio.to_thread(send)
            return {"id": request_id}
        waiter = self._expect(request_id)
        try:
            await asyncio.to_thread(send)
        except BaseException:
            self._waiters.pop(request_id, None)
            raise
        return self._accepted(await self._await_ack(request_id, waiter, timeout))
