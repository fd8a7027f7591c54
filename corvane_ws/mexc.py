"""MEXC connectors: ``MEXC`` (blocking) and ``AsyncMEXC`` (asyncio).

Public by default; with ``api_key=`` and ``secret=`` private (a listen key is fetched over signed
REST on connect). Streams are named as MEXC documents them
(``spot@public.aggre.deals.v3.api.pb@100ms@BTCUSDT``) or by their parts. MEXC's PONG replies
are consumed, like OKX's pongs; protobuf pushes are ``bytes``, or dicts with ``decode=True``.
Orders go over signed REST, so their calls return the exchange's answer.
"""

from __future__ import annotations

import asyncio
from collections.abc import Callable, Sequence
from typing import Any, Final, Literal, cast

import _corvane_ws_module as _m

from ._connection import (DEFAULT_OPEN_TIMEOUT, DEFAULT_PING_INTERVAL, DEFAULT_PING_TIMEOUT,
                          DEFAULT_QUEUE_LIMIT, AsyncConnection, Connection)
from ._books import OrderBook
from ._core import SKIP, Core, Deliver
from . import _refusals
from ._ids import next_request_id
from ._numbers import Number, decimal_text
from ._orders import (MEXC_TYPES, BatchResult, MexcOrderRequest, OrderType, Side, answer_json,
                      batch_order, check_batch, check_order, from_refused, named, not_documented,
                      refused_entry, symbol_of)
from .errors import RequestOutcomeUnknown, RequestRefused

__all__ = ["MEXC", "AsyncMEXC", "MEXC_URL", "stream_name"]

MEXC_URL: Final = "wss://wbs-api.mexc.com/ws"
"""MEXC's spot WebSocket."""

_PONG_END: Final = '"msg":"PONG"}'


def stream_name(channel: str, *, symbol: str | None = None, speed: str | None = None,
                interval: str | None = None, level: str | None = None,
                timezone: str | None = None) -> str:
    """A MEXC stream name from its parts, in MEXC's order: ``channel@speed@symbol`` for the
    aggregated streams (``stream_name("spot@public.aggre.deals.v3.api.pb", speed="100ms",
    symbol="BTCUSDT")``), ``channel@symbol@interval|level|timezone`` for the others (kline,
    limit depth, mini ticker)."""
    tail = [p for p in (interval, level, timezone) if p is not None]
    if len(tail) > 1:
        raise ValueError("give one of interval, level and timezone")
    parts = [channel, *(p for p in (speed, symbol) if p is not None), *tail]
    if any(not p or "@" in p for p in parts[1:]):
        raise ValueError(f"stream parts must be non-empty and without '@': {parts[1:]}")
    return "@".join(parts)


def _delivery(decode: bool) -> Deliver:
    """What the program gets of a MEXC message: PONG replies are consumed, protobuf pushes
    are bytes or, with `decode`, dicts."""
    def deliver(item: str | bytes) -> object:
        if isinstance(item, str):
            return SKIP if item.endswith(_PONG_END) else item
        return _m.decode_mexc(item) if decode else item
    return deliver


class _Mexc(Core):
    """What both MEXC connectors share: credentials, streams and orders."""

    _private = False

    @staticmethod
    def _setup(api_key: str | None, secret: str | None, url: str | None,
               rest_url: str | None) -> tuple[_m.MexcConnector, str, bool]:
        if (api_key is None) != (secret is None):
            raise ValueError("a private MEXC connector needs api_key and secret")
        private = api_key is not None
        # The module takes the key second and the secret third; its first argument is unused.
        native = (_m.MexcConnector("", api_key, secret)  # type: ignore[arg-type]
                  if private else _m.MexcConnector())
        if rest_url is not None:
            native.rest_url = rest_url
        return native, url or MEXC_URL, private

    def subscribe(self, stream: str, **parts: str) -> None:
        """Subscribes to a stream by MEXC's name, ``"spot@public.aggre.deals.v3.api.pb@100ms@
        BTCUSDT"``, or by channel and parts (``subscribe("spot@public.kline.v3.api.pb",
        symbol="BTCUSDT", interval="Min1")``; see ``stream_name``). The private streams
        (``"spot@private.orders.v3.api.pb"``) need a private connector. Recorded and sent again
        on every open; at most 30 a connection."""
        self.native.subscribe(**self._stream(stream, parts))

    def unsubscribe(self, stream: str, **parts: str) -> None:
        """Removes a subscription made with the same arguments; a book kept from it (``book``)
        is no longer kept, and goes out of sync for good."""
        self.native.unsubscribe(**self._stream(stream, parts))
        name = stream_name(stream, **parts) if parts else stream
        self._untrack_book(name, name.rpartition("@")[2] if "aggre.depth" in name
                           else name.split("@")[-2] if "limit.depth" in name else "")

    def book(self, symbol: str, speed: Literal["100ms", "10ms"] = "100ms", *,
             levels: Literal[5, 10, 20] | None = None, deliver: bool = False) -> OrderBook:
        """The order book of ``symbol`` ("BTCUSDT"), kept by the connector: from the
        aggregated depth stream at ``speed`` (synced from the REST snapshot), or, with
        ``levels``, from the limit-depth stream (the top ``levels`` a side, whole each push).
        Before or after ``connect()``; subscribes for it; asking again returns the same book.
        Its pushes reach the program only with ``deliver=True``; the stream carries its
        "book_synced" and "book_resync" events. (An ``AsyncOrderBook`` on ``AsyncMEXC``.)"""
        if levels is not None:
            if levels not in (5, 10, 20):
                raise ValueError(f"levels must be 5, 10 or 20, not {levels!r}")
            stream = f"spot@public.limit.depth.v3.api.pb@{symbol}@{levels}"
        else:
            if speed not in ("100ms", "10ms"):
                raise ValueError(f"speed must be '100ms' or '10ms', not {speed!r}")
            stream = f"spot@public.aggre.depth.v3.api.pb@{speed}@{symbol}"
        return self._track_book(stream, symbol, deliver, lambda: self.subscribe(stream))

    def _stream(self, stream: str, parts: dict[str, str]) -> dict[str, str]:
        name = stream_name(stream, **parts) if parts else stream
        if self._private:  # the listen key's connection takes public streams too
            return {"channel": name}
        if name.startswith("spot@private."):
            raise ValueError("private streams need a connector with api_key and secret")
        host, at, last = name.rpartition("@")
        if not at or not host or not last:
            raise ValueError(f"not a MEXC stream name: {name!r}")
        return {"host": host, "symbol": last}

    @property
    def _mexc(self) -> _m.MexcConnector:
        return cast(_m.MexcConnector, self.native)

    @staticmethod
    def _order_args(symbol: str, type: OrderType, side: Side, amount: Number,
                    price: Number | None, client_order_id: str | None) -> dict[str, Any]:
        check_order(type, side, price)
        return {"inst_id": symbol_of(symbol), "side": side.upper(), "tdMode": MEXC_TYPES[type],
                "sz": decimal_text(amount, "amount"),
                "px": None if price is None else decimal_text(price, "price"),
                "cl_ord_id": client_order_id}

    def _order(self, symbol: str, type: OrderType, side: Side, amount: Number,
               price: Number | None, client_order_id: str | None) -> dict[str, Any]:
        return {"ord_id": next_request_id(), **self._order_args(symbol, type, side, amount,
                                                                 price, client_order_id)}

    def _batch(self, orders: Sequence[MexcOrderRequest]) -> list[dict[str, Any]]:
        check_batch(orders, MexcOrderRequest)  # td_mode and extra, OKX's, are unknown keys
        args = []
        for index, o in enumerate(orders):
            with batch_order(index):
                args.append(self._order_args(o["symbol"], o["type"], o["side"], o["amount"],
                                             o.get("price"), o.get("client_order_id")))
        return args

    @staticmethod
    def _batch_results(reply: object, orders: list[dict[str, Any]]) -> BatchResult:
        """MEXC answers a batch with each order's result in turn: the order, or its refusal
        (naming the order's index and client id). An answer that does not give one result per
        order is no batch's answer: which orders exist is then unknown."""
        if (not isinstance(reply, list) or len(reply) != len(orders)
                or not all(isinstance(r, dict) for r in reply)):
            raise RequestOutcomeUnknown(f"Request outcome unknown: not a batch's answer: {reply}")
        return [refused_entry(str(r.get("code")), str(r.get("msg", "")), r, index=i,
                              client_order_id=o.get("cl_ord_id"))
                if "orderId" not in r and "code" in r else r
                for i, (r, o) in enumerate(zip(reply, orders))]

    @staticmethod
    def _cancel(symbol: str, id: str | None, client_order_id: str | None) -> dict[str, Any]:
        named(id, client_order_id)
        return {"msg_id": next_request_id(), "inst_id": symbol_of(symbol), "ord_id": id,
                "cl_ord_id": client_order_id}

    @classmethod
    def _rest(cls, call: Callable[..., str | None], **kwargs: Any) -> dict[str, Any]:
        """MEXC's answer about one order: an object with its ``orderId``."""
        reply = cls._answer(call, **kwargs)
        if not isinstance(reply, dict) or "orderId" not in reply:
            raise not_documented(reply)
        return reply

    @classmethod
    def _orders(cls, call: Callable[..., str | None], **kwargs: Any) -> list[dict[str, Any]]:
        """MEXC's answer listing orders."""
        reply = cls._answer(call, **kwargs)
        if not isinstance(reply, list) or not all(isinstance(r, dict) for r in reply):
            raise not_documented(reply)
        return reply

    @staticmethod
    def _answer(call: Callable[..., str | None], **kwargs: Any) -> Any:
        """MEXC's answer, parsed; a refusal as ``OrderRejected`` (``RateLimited`` for the rate
        limit), an answer that is not JSON as ``RequestOutcomeUnknown``."""
        try:
            text = call(**kwargs)
        except RequestRefused as e:
            raise from_refused(e) from e
        return answer_json(text)


class MEXC(_Mexc, Connection):
    """A blocking MEXC connector.

    >>> with MEXC() as mexc:
    ...     mexc.subscribe("spot@public.aggre.deals.v3.api.pb@100ms@BTCUSDT")
    ...     for push in mexc: ...
    """

    def __init__(self, *, api_key: str | None = None, secret: str | None = None,
                 url: str | None = None, rest_url: str | None = None, decode: bool = False,
                 limit_queue: int = DEFAULT_QUEUE_LIMIT,
                 open_timeout: float = DEFAULT_OPEN_TIMEOUT,
                 report_gaps: bool = False,
                 ping_interval: float | None = DEFAULT_PING_INTERVAL,
                 ping_timeout: float | None = DEFAULT_PING_TIMEOUT) -> None:
        """Credentials are keyword-only: ``api_key`` (MEXC's access key) and ``secret``.
        ``url``/``rest_url`` replace MEXC's (a simulator). ``decode``: protobuf pushes as dicts
        (``decode_mexc``). ``limit_queue``: bytes that may wait for the program. ``report_gaps``:
        a break in a depth stream's versions comes as a ``StreamEvent`` of kind "gap".
        ``ping_interval``: seconds between MEXC's PINGs; ``ping_timeout``: seconds after a ping
        without any message before the connection is closed as dead (its reason says so); None
        turns either off."""
        native, url, self._private = self._setup(api_key, secret, url, rest_url)
        Connection.__init__(self, native, url, limit_queue, open_timeout, report_gaps,
                            deliver=_delivery(decode), refusal=_refusals.mexc,
                            ping_interval=ping_interval, ping_timeout=ping_timeout)

    def create_order(self, symbol: str, type: OrderType, side: Side, amount: Number,
                     price: Number | None = None, *,
                     client_order_id: str | None = None) -> dict[str, Any]:
        """Places an order (``symbol`` "BTCUSDT"; the other arguments as ``OKX.create_order``)
        and returns MEXC's answer (``orderId`` …). ``OrderRejected`` when MEXC refused it,
        ``RequestOutcomeUnknown`` when its outcome is unknown (query by client id)."""
        return self._rest(self.native.place_order,
                          **self._order(symbol, type, side, amount, price, client_order_id))

    def cancel_order(self, symbol: str, id: str | None = None, *,
                     client_order_id: str | None = None) -> dict[str, Any]:
        """Cancels an order by MEXC's order ``id`` or your ``client_order_id``; returns MEXC's
        answer. ``OrderNotFound`` if MEXC has no such order."""
        return self._rest(self.native.cancel_order, **self._cancel(symbol, id, client_order_id))

    def fetch_order(self, symbol: str, id: str | None = None, *,
                    client_order_id: str | None = None) -> dict[str, Any]:
        """The order by ``id`` or ``client_order_id``; ``OrderNotFound`` if MEXC has none."""
        kwargs = self._cancel(symbol, id, client_order_id)
        del kwargs["msg_id"]
        return self._rest(self.native.query_order, **kwargs)

    def create_orders(self, orders: Sequence[MexcOrderRequest]) -> BatchResult:
        """Places 1 to 20 orders of one symbol in one request (``OKX.create_orders``; MEXC
        refuses a batch of several symbols with ``OrderRejected``). Returns each order's
        outcome in order: MEXC's answer for it, or an ``OrderRejected`` (returned, not raised)
        when it was refused."""
        args = self._batch(orders)
        return self._batch_results(self._answer(self._mexc.batch_orders, orders=args), args)

    def fetch_open_orders(self, symbol: str) -> list[dict[str, Any]]:
        """The open orders of ``symbol`` (MEXC's fields)."""
        return self._orders(self._mexc.open_orders, inst_id=symbol_of(symbol))

    def cancel_all_orders(self, symbol: str) -> BatchResult:
        """Cancels every open order of ``symbol`` in one request; returns the orders cancelled
        (MEXC's answer)."""
        return list(self._orders(self._mexc.cancel_all_orders, inst_id=symbol_of(symbol)))


class AsyncMEXC(_Mexc, AsyncConnection):
    """An asyncio MEXC connector; the arguments are ``MEXC``'s. REST calls run in a worker
    thread."""

    def __init__(self, *, api_key: str | None = None, secret: str | None = None,
                 url: str | None = None, rest_url: str | None = None, decode: bool = False,
                 limit_queue: int = DEFAULT_QUEUE_LIMIT,
                 open_timeout: float = DEFAULT_OPEN_TIMEOUT,
                 report_gaps: bool = False,
                 ping_interval: float | None = DEFAULT_PING_INTERVAL,
                 ping_timeout: float | None = DEFAULT_PING_TIMEOUT) -> None:
        """As ``MEXC``."""
        native, url, self._private = self._setup(api_key, secret, url, rest_url)
        AsyncConnection.__init__(self, native, url, limit_queue, open_timeout, report_gaps,
                                 deliver=_delivery(decode), refusal=_refusals.mexc,
                                 ping_interval=ping_interval, ping_timeout=ping_timeout)

    async def create_order(self, symbol: str, type: OrderType, side: Side, amount: Number,
                           price: Number | None = None, *,
                           client_order_id: str | None = None) -> dict[str, Any]:
        """As ``MEXC.create_order``."""
        kwargs = self._order(symbol, type, side, amount, price, client_order_id)
        return await asyncio.to_thread(self._rest, self.native.place_order, **kwargs)

    async def cancel_order(self, symbol: str, id: str | None = None, *,
                           client_order_id: str | None = None) -> dict[str, Any]:
        """As ``MEXC.cancel_order``."""
        kwargs = self._cancel(symbol, id, client_order_id)
        return await asyncio.to_thread(self._rest, self.native.cancel_order, **kwargs)

    async def fetch_order(self, symbol: str, id: str | None = None, *,
                          client_order_id: str | None = None) -> dict[str, Any]:
        """As ``MEXC.fetch_order``."""
        kwargs = self._cancel(symbol, id, client_order_id)
        del kwargs["msg_id"]
        return await asyncio.to_thread(self._rest, self.native.query_order, **kwargs)

    async def create_orders(self, orders: Sequence[MexcOrderRequest]) -> BatchResult:
        """As ``MEXC.create_orders``."""
        args = self._batch(orders)
        return self._batch_results(await asyncio.to_thread(
            self._answer, self._mexc.batch_orders, orders=args), args)

    async def fetch_open_orders(self, symbol: str) -> list[dict[str, Any]]:
        """As ``MEXC.fetch_open_orders``."""
        return await asyncio.to_thread(self._orders, self._mexc.open_orders,
                                       inst_id=symbol_of(symbol))

    async def cancel_all_orders(self, symbol: str) -> BatchResult:
        """As ``MEXC.cancel_all_orders``."""
        return list(await asyncio.to_thread(self._orders, self._mexc.cancel_all_orders,
                                            inst_id=symbol_of(symbol)))
