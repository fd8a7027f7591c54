"""OKX connectors: ``OKX`` (blocking) and ``AsyncOKX`` (asyncio).

Public by default; with ``api_key=``, ``secret=`` and ``passphrase=`` private, logged in on every
open. Production hosts by default, ``demo=True`` for OKX's demo trading (wspap.okx.com; its
REST calls carry ``x-simulated-trading: 1``). Orders travel on the WebSocket, each call awaiting
OKX's reply to its own request: single or in batches of up to 20 (create, cancel, amend); open
orders, order queries and the dead-man switch go over signed REST.
"""

from __future__ import annotations

import asyncio
import json
import time
from collections import OrderedDict
from collections.abc import Callable, Mapping, Sequence
from concurrent.futures import Future
from functools import partial
from typing import Any, Final, Literal, cast

import _corvane_ws_module as _m

from ._acks import Acks, Reply
from ._connection import (DEFAULT_OPEN_TIMEOUT, DEFAULT_PING_INTERVAL, DEFAULT_PING_TIMEOUT,
                          DEFAULT_QUEUE_LIMIT, AsyncConnection, Connection,
                          await_reply, wait_reply)
from ._books import OrderBook
from ._core import Core, to_stream
from . import _refusals
from ._ids import next_request_id
from ._numbers import Number, decimal_text
from ._orders import (MAX_BATCH, OKX_TYPES, AmendRequest, BatchResult, CancelRequest, OkxExtra,
                      OrderRequest, OrderType, PxField, Side, answer_json, batch_order, check_batch,
                      check_order, named, not_documented, okx_client_id, okx_extra, refused_entry,
                      rejected, rest, symbol_of)
from .errors import RequestOutcomeUnknown, RequestRefused

__all__ = ["OKX", "AsyncOKX", "OKX_HOST", "OKX_DEMO_HOST"]

OKX_HOST: Final = "wss://ws.okx.com:8443"
"""OKX's production WebSocket host."""
OKX_DEMO_HOST: Final = "wss://wspap.okx.com:8443"
"""OKX's demo-trading WebSocket host."""

type Endpoint = Literal["public", "private", "business"]

DEFAULT_ACK_TIMEOUT: Final = 5.0
_PAGE: Final = 100  # orders-pending gives at most this many a request by default
_UNLISTED: Final = "OKX lists no such instrument"  # the module's lookup found none
_PRICE_FORMS_KEPT: Final = 10_000  # options' price forms remembered, the latest


type BookChannel = Literal["books", "books-l2-tbt", "books50-l2-tbt", "books5", "bbo-tbt"]
BOOK_CHANNELS: Final = ("books", "books-l2-tbt", "books50-l2-tbt", "books5", "bbo-tbt")
"""The channels an OKX book is kept from."""

def _is_option(symbol: str) -> bool:
    """An OKX option's instId: BTC-USD-251226-100000-C (or -P)."""
    return symbol.count("-") == 4 and symbol.endswith(("-C", "-P"))


def _relisted(reply: dict[str, Any]) -> bool:
    """OKX's 51001 refusal of one order: no such instrument code (it was relisted)."""
    data = reply.get("data")
    return (reply.get("op") == "order" and isinstance(data, list) and len(data) == 1
            and isinstance(data[0], dict) and data[0].get("sCode") == "51001")


def _refused_whole(reply: dict[str, Any]) -> bool:
    """Whether OKX refused an operation as a whole: an error event, or a code other than "0"
    and "2" with no order's entry (60013 invalid arguments, 50011 the rate limit …)."""
    code = reply.get("code")
    return isinstance(code, str) and code not in ("", "0", "2") and (
        reply.get("event") == "error" or reply.get("data") in (None, []))


def _done(entry: object) -> bool:
    """Whether `entry` says OKX carried its order's operation out: sCode "0" and the order's
    ordId."""
    return (isinstance(entry, dict) and entry.get("sCode") == "0"
            and isinstance(entry.get("ordId"), str) and entry["ordId"] != "")


def _refusal(entry: object) -> bool:
    """Whether `entry` says OKX refused its order's operation: a non-zero sCode."""
    return (isinstance(entry, dict) and isinstance(entry.get("sCode"), str)
            and entry["sCode"] not in ("", "0"))


def _settled(entry: object) -> bool:
    return _done(entry) or _refusal(entry)


def _refusing_unlisted(call: Callable[[], object]) -> Callable[[], object]:
    """`call`, with the module's refusal of a symbol OKX does not list as OKX's own answer to
    such an order (51001): sending it again would be refused again."""
    def refusing() -> object:
        try:
            return call()
        except RequestRefused as e:
            if type(e) is RequestRefused and str(e).endswith(_UNLISTED):
                raise rejected("51001", str(e).removeprefix("Request not sent: "), {}) from e
            raise
    return refusing


class _Okx(Core):
    """What both OKX connectors share: credentials, URL, subscriptions and order requests."""

    _private: bool
    _replies: Acks  # the calls waiting for OKX's reply to their request
    # How each option order's price went ("pxUsd", "pxVol"), by ordId and client order id:
    # OKX takes a new price only in the same form.
    _price_forms: OrderedDict[str, str]

    @property
    def _okx(self) -> _m.OkxConnector:
        return cast(_m.OkxConnector, self.native)

    def _setup(self, api_key: str | None, secret: str | None, passphrase: str | None,
               demo: bool, endpoint: Endpoint | None, url: str | None,
               rest_url: str | None) -> tuple[_m.OkxConnector, str, dict[str, Any]]:
        """The module's connector, the URL and the core's keywords; sets up this side."""
        given = [v is not None for v in (api_key, secret, passphrase)]
        if any(given) and not all(given):
            raise ValueError("a private OKX connector needs api_key, secret and passphrase")
        private = all(given)
        native = (_m.OkxConnector(api_key, secret, passphrase)  # type: ignore[arg-type]
                  if private else _m.OkxConnector())
        if rest_url is not None:
            native.rest_url = rest_url
        if url is None:
            path = endpoint or ("private" if private else "public")
            url = f"{OKX_DEMO_HOST if demo else OKX_HOST}/ws/v5/{path}"
        self._private = private  # a private connector logs in on every endpoint
        self._replies = Acks()
        self._price_forms = OrderedDict()
        return native, url, {"login": private, "acks": self._replies,
                             "refusal": _refusals.okx}

    def subscribe(self, channel: str, inst_id: str | None = None, *, inst_type: str | None = None,
                  inst_family: str | None = None, ccy: str | None = None,
                  extra_params: str | dict[str, Any] | None = None) -> None:
        """Subscribes to ``channel`` (OKX's name: "tickers", "books5", "orders", …) for
        ``inst_id`` ("BTC-USDT"), or for what else OKX keys the channel by: ``inst_type``
        ("SPOT", "ANY"; OKX requires it on "orders", "positions" and "instruments"),
        ``inst_family`` ("BTC-USD"; "opt-summary"), ``ccy`` ("BTC"; "account") and
        ``extra_params`` (OKX's ``extraParams``, as text or a dict). Recorded and sent again on
        every open (private: after every login)."""
        self.native.subscribe(**self._channel(channel, inst_id, inst_type, inst_family, ccy,
                                               extra_params))

    def unsubscribe(self, channel: str, inst_id: str | None = None, *,
                    inst_type: str | None = None, inst_family: str | None = None,
                    ccy: str | None = None,
                    extra_params: str | dict[str, Any] | None = None) -> None:
        """Removes a subscription made with the same arguments; a book kept from it (``book``)
        is no longer kept, and goes out of sync for good."""
        self.native.unsubscribe(**self._channel(channel, inst_id, inst_type, inst_family, ccy,
                                                 extra_params))
        if inst_id is not None:
            self._untrack_book(channel, inst_id)

    def book(self, inst_id: str, channel: BookChannel = "books", *,
             deliver: bool = False) -> OrderBook:
        """The order book of ``inst_id`` ("BTC-USDT"), kept by the connector from ``channel``:
        "books" (400 levels), "books50-l2-tbt", "books-l2-tbt" (these two need a login),
        "books5" or "bbo-tbt" (a whole top of the book each push). Before or after
        ``connect()``; subscribes for it; asking again returns the same book. Its pushes reach
        the program only with ``deliver=True``; the stream carries its "book_synced" and
        "book_resync" events. (An ``AsyncOrderBook`` on ``AsyncOKX``.)"""
        if channel not in BOOK_CHANNELS:
            raise ValueError(f"OKX books are kept from {', '.join(BOOK_CHANNELS)}, "
                             f"not {channel!r}")
        return self._track_book(channel, inst_id, deliver,
                                lambda: self.subscribe(channel, inst_id))

    def _channel(self, channel: str, inst_id: str | None, inst_type: str | None,
                 inst_family: str | None, ccy: str | None,
                 extra_params: str | dict[str, Any] | None) -> dict[str, str | None]:
        if isinstance(extra_params, dict):
            extra_params = json.dumps(extra_params, separators=(",", ":"))
        keys = (inst_id, inst_type, inst_family, ccy, extra_params)
        if not self._private and all(k is None for k in keys):
            raise ValueError(f"OKX's public channel {channel!r} needs inst_id (or inst_type, "
                             f"inst_family, ccy)")
        return {"channel": channel, "inst_id": inst_id, "inst_type": inst_type,
                "inst_family": inst_family, "ccy": ccy, "extra_params": extra_params}

    @staticmethod
    def _order_args(symbol: str, type: OrderType, side: Side, amount: Number,
                    price: Number | None, client_order_id: str | None, td_mode: str,
                    extra: object) -> dict[str, Any]:
        check_order(type, side, price)
        return {**okx_extra(extra), "inst_id": symbol_of(symbol), "side": side,
                "ordType": OKX_TYPES[type], "sz": decimal_text(amount, "amount"),
                "px": "" if price is None else decimal_text(price, "price"),
                "tdMode": td_mode, "cl_ord_id": okx_client_id(client_order_id)}

    def _order(self, symbol: str, type: OrderType, side: Side, amount: Number,
               price: Number | None, client_order_id: str | None, td_mode: str,
               extra: OkxExtra) -> tuple[str, dict[str, Any]]:
        request_id = next_request_id()
        return request_id, {**self._order_args(symbol, type, side, amount, price,
                                               client_order_id, td_mode, extra),
                            "ord_id": request_id}

    @staticmethod
    def _extra(pos_side: str | None, tgt_ccy: str | None, reduce_only: bool | None,
               ccy: str | None, px_field: PxField | None) -> OkxExtra:
        given = {"pos_side": pos_side, "tgt_ccy": tgt_ccy, "reduce_only": reduce_only,
                 "ccy": ccy, "px_field": px_field}
        extra: OkxExtra = {  # type: ignore[assignment]
            k: v for k, v in given.items() if v is not None}
        return extra

    @staticmethod
    def _name_args(symbol: str, id: str | None, client_order_id: str | None) -> dict[str, Any]:
        named(id, client_order_id)
        return {"inst_id": symbol_of(symbol), "ord_id": id,
                "cl_ord_id": okx_client_id(client_order_id)}

    def _cancel(self, symbol: str, id: str | None,
                client_order_id: str | None) -> tuple[str, dict[str, Any]]:
        request_id = next_request_id()
        return request_id, {**self._name_args(symbol, id, client_order_id), "msg_id": request_id}

    def _amend_args(self, symbol: str, id: str | None, client_order_id: str | None,
                    amount: Number | None, price: Number | None,
                    cancel_on_fail: bool = False) -> dict[str, Any]:
        if amount is None and price is None:
            raise ValueError("an amend needs a new amount, a new price or both")
        return {**self._name_args(symbol, id, client_order_id),
                "newSz": None if amount is None else decimal_text(amount, "amount"),
                self._new_price_member(symbol, id, client_order_id):
                    None if price is None else decimal_text(price, "price"),
                "cxlOnFail": True if cancel_on_fail else None}

    def _new_price_member(self, symbol: str, id: str | None, client_order_id: str | None) -> str:
        """The amend member of a new price: OKX takes it in the form the order's price went in,
        remembered for orders placed here, else the form ``create_order`` gives the
        instrument's (options: pxUsd)."""
        if not _is_option(symbol):
            return "newPx"
        form = self._price_forms.get(id or "") or self._price_forms.get(client_order_id or "")
        return {"pxVol": "newPxVol", "px": "newPx"}.get(form or "pxUsd", "newPxUsd")

    def _placed(self, symbol: str, extra: Mapping[str, Any], entry: dict[str, Any],
                client_order_id: str | None) -> None:
        """Remembers the form an option order's price went in."""
        if not _is_option(symbol):
            return
        form = str(extra.get("px_field") or "pxUsd")
        for key in (entry.get("ordId"), client_order_id):
            if key:
                self._price_forms[str(key)] = form
                self._price_forms.move_to_end(str(key))
        while len(self._price_forms) > _PRICE_FORMS_KEPT:
            self._price_forms.popitem(last=False)

    def _placed_batch(self, orders: Sequence[OrderRequest], results: BatchResult) -> None:
        for order, result in zip(orders, results):
            if isinstance(result, dict):
                self._placed(order["symbol"], dict(order.get("extra", {})), result,
                             order.get("client_order_id"))

    def _held_refusal(self, request_id: str, error: BaseException) -> dict[str, Any] | None:
        """The wait for the reply to a placed order ended with `error`: OKX's 51001 refusal of
        it when one was held while the instrument was fetched again (the order is then never
        sent again), to raise instead of an unknown outcome."""
        kind, refusal = self._okx.settle_order(request_id)
        if kind != "refused":
            return None
        if not isinstance(error, RequestOutcomeUnknown):
            to_stream(self, refusal)  # the caller left: the refusal goes on the stream
            return None
        held: dict[str, Any] = json.loads(refusal)
        return held

    def _stale(self, request_id: str, reply: dict[str, Any], resent: bool) -> bool:
        """Whether `reply` is a 51001 refusal of an order sent once more since: an answer to
        its first sending, handed to the stream while the call waits on for the resend's."""
        if not (resent and _relisted(reply)):
            return False
        to_stream(self, json.dumps(reply, separators=(",", ":"), ensure_ascii=False))
        return True

    def _amend(self, symbol: str, id: str | None, client_order_id: str | None,
               amount: Number | None, price: Number | None,
               cancel_on_fail: bool) -> tuple[str, dict[str, Any]]:
        request_id = next_request_id()
        return request_id, {**self._amend_args(symbol, id, client_order_id, amount, price,
                                               cancel_on_fail), "msg_id": request_id}

    def _batch(self, kind: str, orders: Sequence[Any]) -> tuple[str, dict[str, Any]]:
        """The module's keywords for a batch of `kind` ("create", "cancel", "amend")."""
        check_batch(orders, {"create": OrderRequest, "cancel": CancelRequest,
                             "amend": AmendRequest}[kind])
        args = []
        for index, o in enumerate(orders):
            with batch_order(index):
                if kind == "create":
                    args.append(self._order_args(o["symbol"], o["type"], o["side"], o["amount"],
                                                 o.get("price"), o.get("client_order_id"),
                                                 o.get("td_mode", "cash"), o.get("extra", {})))
                elif kind == "cancel":
                    args.append(self._name_args(o["symbol"], o.get("id"),
                                                o.get("client_order_id")))
                else:
                    args.append(self._amend_args(o["symbol"], o.get("id"),
                                                 o.get("client_order_id"), o.get("amount"),
                                                 o.get("price")))
        request_id = next_request_id()
        return request_id, {"msg_id": request_id, "orders": args}

    @staticmethod
    def _batch_results(reply: dict[str, Any], orders: list[dict[str, Any]]) -> BatchResult:
        """Each order's entry or refusal (naming the order's index and client id);
        OrderRejected raised when OKX refused the request as a whole (it names no order).
        Entries that do not match the orders sent, or the reply's code, are no answer:
        RequestOutcomeUnknown, as any of them may have been carried out."""
        if _refused_whole(reply):
            raise rejected(str(reply["code"]), str(reply.get("msg", "")), reply)
        data, code = reply.get("data"), reply.get("code")
        if not isinstance(data, list) or len(data) != len(orders) or not isinstance(code, str):
            raise not_documented(reply)
        done = [_done(d) for d in data]
        if not {"0": all(done), "2": all(map(_settled, data))}.get(
                code, all(map(_refusal, data))):  # "1" (or another): each order refused
            raise not_documented(reply)
        return [d if ok else refused_entry(str(d["sCode"]), str(d.get("sMsg", "")), d,
                                           index=i, client_order_id=o.get("cl_ord_id"))
                for i, (d, ok, o) in enumerate(zip(data, done, orders))]

    @staticmethod
    def _open_args(symbol: str | None, inst_type: str | None, inst_family: str | None,
                   type: OrderType | None, after: str | None, before: str | None,
                   limit: int | None) -> dict[str, Any]:
        if type is not None and type not in OKX_TYPES:
            raise ValueError(f"type must be one of {', '.join(OKX_TYPES)}; not {type!r}")
        return {"inst_id": symbol, "inst_type": inst_type, "inst_family": inst_family,
                "ordType": None if type is None else OKX_TYPES[type], "after": after,
                "before": before, "limit": limit}

    @staticmethod
    def _data(text: str | None) -> list[dict[str, Any]]:
        """The ``data`` of an OKX REST reply; OrderRejected unless its code is "0",
        RequestOutcomeUnknown for a reply that is not OKX's envelope."""
        reply = answer_json(text)
        if not isinstance(reply, dict) or not isinstance(reply.get("code"), str):
            raise not_documented(reply)
        if reply["code"] != "0":
            raise rejected(reply["code"], str(reply.get("msg", "")), reply)
        data = reply.get("data")
        if not isinstance(data, list) or not all(isinstance(d, dict) for d in data):
            raise not_documented(reply)
        return data

    @classmethod
    def _entry(cls, text: str | None) -> dict[str, Any]:
        data = cls._data(text)
        return data[0] if data else {}

    @staticmethod
    def _period(seconds: int) -> int:
        if isinstance(seconds, int) and not isinstance(seconds, bool) and (
                seconds == 0 or 10 <= seconds <= 120):
            return seconds
        raise ValueError(f"seconds must be 0 or 10 to 120, not {seconds!r}")

    @staticmethod
    def _cancel_requests(open_orders: list[dict[str, Any]]) -> list[list[CancelRequest]]:
        requests: list[CancelRequest] = [{"symbol": o["instId"], "id": o["ordId"]}
                                         for o in open_orders]
        return [requests[i:i + MAX_BATCH] for i in range(0, len(requests), MAX_BATCH)]

    def _sent(self, request_id: str, send: Callable[[], object]) -> Future[Reply]:
        """Sends a request (`send`) whose reply a call awaits: the future the reply completes,
        registered first so that no reply can come before it."""
        reply = self._replies.expect(request_id)
        try:
            _refusing_unlisted(send)()
        except BaseException:
            self._replies.forget(request_id)
            raise
        return reply

    def _held_or_raise(self, request_id: str, error: BaseException) -> dict[str, Any]:
        """An order's call ended with `error`: OKX's refusal held for it, or `error` again."""
        held = self._held_refusal(request_id, error)
        if held is None:
            raise error
        return self._accepted(held)

    def _resent(self, request_id: str) -> bool:
        """Whether the module sent the order once more (after OKX's 51001); it sends it no
        more from now on."""
        return self._okx.settle_order(request_id)[0] == "resent"

    @staticmethod
    def _accepted(reply: dict[str, Any]) -> dict[str, Any]:
        """The order's entry of OKX's reply to one operation; OrderRejected when OKX refused
        it. Any other reply (no entry, an entry without its sCode or ordId, codes that
        disagree) is RequestOutcomeUnknown: the operation may have been carried out."""
        if _refused_whole(reply):
            raise rejected(str(reply["code"]), str(reply.get("msg", "")), reply)
        data, code = reply.get("data"), reply.get("code")
        entry = data[0] if isinstance(data, list) and len(data) == 1 else None
        if code == "0" and _done(entry):
            return cast(dict[str, Any], entry)
        if code != "2" and _refusal(entry):
            entry = cast(dict[str, Any], entry)
            raise rejected(entry["sCode"], str(entry.get("sMsg", "")), reply)
        raise not_documented(reply)

    @classmethod
    def _found(cls, text: str | None) -> dict[str, Any]:
        data = cls._data(text)
        if not data:
            raise not_documented(text)
        return data[0]


class OKX(_Okx, Connection):
    """A blocking OKX connector.

    >>> with OKX() as okx:                       # public, production
    ...     okx.subscribe("tickers", "BTC-USDT")
    ...     for message in okx: ...
    """

    def __init__(self, *, api_key: str | None = None, secret: str | None = None,
                 passphrase: str | None = None, demo: bool = False,
                 endpoint: Endpoint | None = None, url: str | None = None,
                 rest_url: str | None = None, limit_queue: int = DEFAULT_QUEUE_LIMIT,
                 open_timeout: float = DEFAULT_OPEN_TIMEOUT, report_gaps: bool = False,
                 ping_interval: float | None = DEFAULT_PING_INTERVAL,
                 ping_timeout: float | None = DEFAULT_PING_TIMEOUT) -> None:
        """Credentials are keyword-only; all three make a private connector. ``endpoint``:
        "public", "private" (default with credentials) or "business"; ``url`` replaces the
        whole URL (a simulator), ``rest_url`` where REST calls go (by default OKX's REST host
        for OKX's hosts, the ``url``'s host and port for any other). ``limit_queue``: bytes
        that may wait for the program. ``report_gaps``: a break in an order-book sequence ("books", "books-l2-tbt", …) comes
        as a ``StreamEvent`` of kind "gap" ahead of the push that shows it (messages are then
        read through Python, a little slower). ``ping_interval``: seconds without any message
        after which a "ping" goes out (OKX asks for one within 30 s of silence);
        ``ping_timeout``: seconds after a ping without any message before the connection is
        closed as dead (its reason says so); None turns either off."""
        native, url, core = self._setup(api_key, secret, passphrase, demo, endpoint, url,
                                        rest_url)
        Connection.__init__(self, native, url, limit_queue, open_timeout, report_gaps,
                            ping_interval=ping_interval, ping_timeout=ping_timeout, **core)

    def create_order(self, symbol: str, type: OrderType, side: Side, amount: Number,
                     price: Number | None = None, *, client_order_id: str | None = None,
                     td_mode: str = "cash", pos_side: str | None = None,
                     tgt_ccy: str | None = None, reduce_only: bool | None = None,
                     ccy: str | None = None, px_field: PxField | None = None, wait: bool = True,
                     timeout: float = DEFAULT_ACK_TIMEOUT) -> dict[str, Any]:
        """Places an order: ``symbol`` "BTC-USDT", ``type`` "limit", "market", "post_only",
        "ioc" or "fok" (required), ``side`` "buy" or "sell", ``amount`` and ``price`` as
        Decimal, str or int (a float is refused), ``client_order_id`` 1 to 32 letters and
        digits. ``td_mode``: OKX's trade mode ("cash" for spot; "cross" or "isolated" for
        margin and derivatives); OKX's other order fields (``OkxExtra``): ``pos_side``,
        ``tgt_ccy``, ``reduce_only``, ``ccy``, ``px_field``.

        With ``wait`` (default), returns OKX's acknowledgement of this request (its entry:
        ``ordId``, ``clOrdId``, ``sCode`` …), matched by request id; raises ``OrderRejected``
        when OKX refused it and ``RequestOutcomeUnknown`` when no reply came within
        ``timeout`` seconds. Without, returns ``{"id": request_id}`` at once; the reply comes
        on the stream."""
        extra = self._extra(pos_side, tgt_ccy, reduce_only, ccy, px_field)
        request_id, kwargs = self._order(symbol, type, side, amount, price, client_order_id,
                                         td_mode, extra)
        if wait:
            entry = self._place(request_id, kwargs, timeout)
        else:
            entry = self._send(request_id, lambda: self.native.place_order(**kwargs), False,
                               timeout)
        self._placed(symbol, extra, entry, client_order_id)
        return entry

    def cancel_order(self, symbol: str, id: str | None = None, *,
                     client_order_id: str | None = None, wait: bool = True,
                     timeout: float = DEFAULT_ACK_TIMEOUT) -> dict[str, Any]:
        """Cancels an order by OKX's order ``id`` or your ``client_order_id``; returns and
        raises as ``create_order``."""
        request_id, kwargs = self._cancel(symbol, id, client_order_id)
        return self._send(request_id, lambda: self.native.cancel_order(**kwargs), wait, timeout)

    def fetch_order(self, symbol: str, id: str | None = None, *,
                    client_order_id: str | None = None) -> dict[str, Any]:
        """The order (OKX's fields: ``state``, ``accFillSz`` …) by ``id`` or
        ``client_order_id``, over signed REST; ``OrderNotFound`` if OKX has none."""
        text = rest(self.native.query_order, inst_id=symbol_of(symbol), ord_id=id,
                    cl_ord_id=okx_client_id(client_order_id))
        return self._found(text)

    def amend_order(self, symbol: str, id: str | None = None, *,
                    client_order_id: str | None = None, amount: Number | None = None,
                    price: Number | None = None, cancel_on_fail: bool = False,
                    wait: bool = True, timeout: float = DEFAULT_ACK_TIMEOUT) -> dict[str, Any]:
        """Changes a pending order's ``amount``, ``price`` or both (named by ``id`` or
        ``client_order_id``); ``cancel_on_fail``: OKX cancels the order if the amend fails.
        Returns and raises as ``create_order``."""
        request_id, kwargs = self._amend(symbol, id, client_order_id, amount, price,
                                         cancel_on_fail)
        return self._send(request_id, lambda: self._okx.amend_order(**kwargs), wait, timeout)

    def create_orders(self, orders: Sequence[OrderRequest], *,
                      timeout: float = DEFAULT_ACK_TIMEOUT) -> BatchResult:
        """Places 1 to 20 orders in one request, each a dict of ``create_order``'s arguments
        (``OrderRequest``). Returns each order's outcome in order: OKX's entry when it was
        placed, an ``OrderRejected`` (returned, not raised) when it was refused. Raises
        ``OrderRejected`` when OKX refused the whole request and ``RequestOutcomeUnknown`` as
        ``create_order``. Every order is checked before anything is sent."""
        results = self._send_batch(*self._batch("create", orders), self._okx.batch_orders,
                                   timeout)
        self._placed_batch(orders, results)
        return results

    def cancel_orders(self, orders: Sequence[CancelRequest], *,
                      timeout: float = DEFAULT_ACK_TIMEOUT) -> BatchResult:
        """Cancels 1 to 20 orders in one request, each ``{"symbol": …, "id": …}`` or with
        ``client_order_id``; returns and raises as ``create_orders``."""
        return self._send_batch(*self._batch("cancel", orders),
                                self._okx.batch_cancel_orders, timeout)

    def amend_orders(self, orders: Sequence[AmendRequest], *,
                     timeout: float = DEFAULT_ACK_TIMEOUT) -> BatchResult:
        """Amends 1 to 20 orders in one request, each as ``cancel_orders`` names it with the
        new ``amount`` and/or ``price``; returns and raises as ``create_orders``."""
        return self._send_batch(*self._batch("amend", orders),
                                self._okx.batch_amend_orders, timeout)

    def fetch_open_orders(self, symbol: str | None = None, *, inst_type: str | None = None,
                          inst_family: str | None = None, type: OrderType | None = None,
                          after: str | None = None, before: str | None = None,
                          limit: int | None = None) -> list[dict[str, Any]]:
        """The account's pending orders (OKX's fields), newest first, over signed REST: all, or
        those of ``symbol``, ``inst_type``, ``inst_family`` or ``type``; OKX gives at most 100
        (``limit``), older ones ``after`` an ``ordId``."""
        return self._data(rest(self._okx.open_orders, **self._open_args(
            symbol, inst_type, inst_family, type, after, before, limit)))

    def cancel_all_orders(self, symbol: str, *,
                          timeout: float = DEFAULT_ACK_TIMEOUT) -> BatchResult:
        """Cancels every pending order of ``symbol``: its open orders, then cancels of 20 a
        request (OKX has no single call for it), again while a full page came and was
        cancelled. Returns each cancel's outcome as ``cancel_orders``; an order placed
        meanwhile may stay."""
        results: BatchResult = []
        while True:
            pending = self.fetch_open_orders(symbol)
            for chunk in self._cancel_requests(pending):
                results += self.cancel_orders(chunk, timeout=timeout)
            if len(pending) < _PAGE or not any(isinstance(r, dict) for r in results[-_PAGE:]):
                return results

    def cancel_all_orders_after(self, seconds: int) -> dict[str, Any]:
        """A dead-man switch: OKX cancels every pending order of the account unless the
        countdown (10 to 120 ``seconds``) is restarted; 0 turns it off. The connector restarts
        it while the program reads (a read completed since the last restart, or the event loop
        an ``async for`` waits on ran) and its connection is up, so a program that dies, loses
        its connection, stops reading or freezes has its orders cancelled within ``seconds``.
        Returns OKX's entry (``triggerTime``, ``ts``); ``OrderRejected`` when OKX refused it
        (then no switch is kept)."""
        return self._entry(rest(self._okx.cancel_all_after, seconds=self._period(seconds)))

    def load_instruments(self, inst_type: str = "SPOT", *, inst_family: str | None = None) -> int:
        """Fetches the codes OKX's order operations need for every instrument of ``inst_type``
        ("SPOT", "MARGIN", "SWAP", "FUTURES"; "OPTION" with ``inst_family``) in one request, so
        that no order waits for a lookup; returns how many came. Call it before trading."""
        return self._okx.load_instruments(inst_type,
                                             inst_family or "")

    def _send(self, request_id: str, send: Callable[[], object], wait: bool,
              timeout: float) -> dict[str, Any]:
        if not wait:
            _refusing_unlisted(send)()
            return {"id": request_id}
        return self._accepted(self._request(request_id, send, timeout))

    def _place(self, request_id: str, kwargs: dict[str, Any], timeout: float) -> dict[str, Any]:
        """An order whose caller waits: the module may send it once more after OKX's 51001
        (its instrument relisted) until this call settles it, at its end."""
        deadline = time.monotonic() + timeout
        try:
            reply = self._request(
                request_id, lambda: self.native.place_order(**kwargs, resend_relisted=True),
                timeout)
        except BaseException as e:
            return self._held_or_raise(request_id, e)
        resent = self._resent(request_id)
        while self._stale(request_id, reply, resent):
            reply = self._request(request_id, lambda: None,
                                  max(0.0, deadline - time.monotonic()))
        return self._accepted(reply)

    def _send_batch(self, request_id: str, kwargs: dict[str, Any],
                    call: Callable[..., object], timeout: float) -> BatchResult:
        reply = self._request(request_id, lambda: call(**kwargs), timeout)
        return self._batch_results(reply, kwargs["orders"])

    def _request(self, request_id: str, send: Callable[[], object],
                 timeout: float) -> dict[str, Any]:
        return wait_reply(self, request_id, self._sent(request_id, send), timeout)


class AsyncOKX(_Okx, AsyncConnection):
    """An asyncio OKX connector; the arguments are ``OKX``'s.

    >>> async with AsyncOKX() as okx:
    ...     okx.subscribe("tickers", "BTC-USDT")
    ...     async for message in okx: ...
    """

    def __init__(self, *, api_key: str | None = None, secret: str | None = None,
                 passphrase: str | None = None, demo: bool = False,
                 endpoint: Endpoint | None = None, url: str | None = None,
                 rest_url: str | None = None, limit_queue: int = DEFAULT_QUEUE_LIMIT,
                 open_timeout: float = DEFAULT_OPEN_TIMEOUT, report_gaps: bool = False,
                 ping_interval: float | None = DEFAULT_PING_INTERVAL,
                 ping_timeout: float | None = DEFAULT_PING_TIMEOUT) -> None:
        """As ``OKX``."""
        native, url, core = self._setup(api_key, secret, passphrase, demo, endpoint, url,
                                        rest_url)
        AsyncConnection.__init__(self, native, url, limit_queue, open_timeout, report_gaps,
                                 ping_interval=ping_interval, ping_timeout=ping_timeout, **core)

    async def create_order(self, symbol: str, type: OrderType, side: Side, amount: Number,
                           price: Number | None = None, *, client_order_id: str | None = None,
                           td_mode: str = "cash", pos_side: str | None = None,
                           tgt_ccy: str | None = None, reduce_only: bool | None = None,
                           ccy: str | None = None, px_field: PxField | None = None,
                           wait: bool = True,
                           timeout: float = DEFAULT_ACK_TIMEOUT) -> dict[str, Any]:
        """As ``OKX.create_order``."""
        extra = self._extra(pos_side, tgt_ccy, reduce_only, ccy, px_field)
        request_id, kwargs = self._order(symbol, type, side, amount, price, client_order_id,
                                         td_mode, extra)
        if wait:
            entry = await self._place(request_id, kwargs, timeout)
        else:
            entry = await self._send(request_id, lambda: self.native.place_order(**kwargs),
                                     False, timeout, symbol)
        self._placed(symbol, extra, entry, client_order_id)
        return entry

    async def cancel_order(self, symbol: str, id: str | None = None, *,
                           client_order_id: str | None = None, wait: bool = True,
                           timeout: float = DEFAULT_ACK_TIMEOUT) -> dict[str, Any]:
        """As ``OKX.cancel_order``."""
        request_id, kwargs = self._cancel(symbol, id, client_order_id)
        return await self._send(request_id, lambda: self.native.cancel_order(**kwargs), wait,
                                timeout, symbol)

    async def fetch_order(self, symbol: str, id: str | None = None, *,
                          client_order_id: str | None = None) -> dict[str, Any]:
        """As ``OKX.fetch_order``."""
        text = await asyncio.to_thread(rest, self.native.query_order, inst_id=symbol_of(symbol),
                                       ord_id=id, cl_ord_id=okx_client_id(client_order_id))
        return self._found(text)

    async def amend_order(self, symbol: str, id: str | None = None, *,
                          client_order_id: str | None = None, amount: Number | None = None,
                          price: Number | None = None, cancel_on_fail: bool = False,
                          wait: bool = True,
                          timeout: float = DEFAULT_ACK_TIMEOUT) -> dict[str, Any]:
        """As ``OKX.amend_order``."""
        request_id, kwargs = self._amend(symbol, id, client_order_id, amount, price,
                                         cancel_on_fail)
        return await self._send(request_id, lambda: self._okx.amend_order(**kwargs), wait,
                                timeout, symbol)

    async def create_orders(self, orders: Sequence[OrderRequest], *,
                            timeout: float = DEFAULT_ACK_TIMEOUT) -> BatchResult:
        """As ``OKX.create_orders``."""
        results = await self._send_batch(*self._batch("create", orders),
                                         self._okx.batch_orders, timeout)
        self._placed_batch(orders, results)
        return results

    async def cancel_orders(self, orders: Sequence[CancelRequest], *,
                            timeout: float = DEFAULT_ACK_TIMEOUT) -> BatchResult:
        """As ``OKX.cancel_orders``."""
        return await self._send_batch(*self._batch("cancel", orders),
                                      self._okx.batch_cancel_orders, timeout)

    async def amend_orders(self, orders: Sequence[AmendRequest], *,
                           timeout: float = DEFAULT_ACK_TIMEOUT) -> BatchResult:
        """As ``OKX.amend_orders``."""
        return await self._send_batch(*self._batch("amend", orders),
                                      self._okx.batch_amend_orders, timeout)

    async def fetch_open_orders(self, symbol: str | None = None, *,
                                inst_type: str | None = None, inst_family: str | None = None,
                                type: OrderType | None = None, after: str | None = None,
                                before: str | None = None,
                                limit: int | None = None) -> list[dict[str, Any]]:
        """As ``OKX.fetch_open_orders``."""
        kwargs = self._open_args(symbol, inst_type, inst_family, type, after, before, limit)
        return self._data(await asyncio.to_thread(
            rest, self._okx.open_orders, **kwargs))

    async def cancel_all_orders(self, symbol: str, *,
                                timeout: float = DEFAULT_ACK_TIMEOUT) -> BatchResult:
        """As ``OKX.cancel_all_orders``."""
        results: BatchResult = []
        while True:
            pending = await self.fetch_open_orders(symbol)
            for chunk in self._cancel_requests(pending):
                results += await self.cancel_orders(chunk, timeout=timeout)
            if len(pending) < _PAGE or not any(isinstance(r, dict) for r in results[-_PAGE:]):
                return results

    async def cancel_all_orders_after(self, seconds: int) -> dict[str, Any]:
        """As ``OKX.cancel_all_orders_after``."""
        return self._entry(await asyncio.to_thread(rest, self._okx.cancel_all_after,
                                                   seconds=self._period(seconds)))

    async def load_instruments(self, inst_type: str = "SPOT", *,
                               inst_family: str | None = None) -> int:
        """As ``OKX.load_instruments``."""
        return await asyncio.to_thread(self._okx.load_instruments,
                                       inst_type, inst_family or "")

    async def _send(self, request_id: str, send: Callable[[], object], wait: bool,
                    timeout: float, symbol: str) -> dict[str, Any]:
        if not wait:
            await self._look_up([symbol])
            _refusing_unlisted(send)()
            return {"id": request_id}
        return self._accepted(await self._request(request_id, send, timeout, [symbol]))

    async def _place(self, request_id: str, kwargs: dict[str, Any],
                     timeout: float) -> dict[str, Any]:
        """As ``OKX._place``."""
        deadline = time.monotonic() + timeout
        try:
            reply = await self._request(
                request_id, lambda: self.native.place_order(**kwargs, resend_relisted=True),
                timeout, [kwargs["inst_id"]])
        except BaseException as e:
            return self._held_or_raise(request_id, e)
        resent = self._resent(request_id)
        while self._stale(request_id, reply, resent):
            reply = await self._request(request_id, lambda: None,
                                        max(0.0, deadline - time.monotonic()), [])
        return self._accepted(reply)

    async def _send_batch(self, request_id: str, kwargs: dict[str, Any],
                          call: Callable[..., object], timeout: float) -> BatchResult:
        reply = await self._request(request_id, lambda: call(**kwargs), timeout,
                                    [o["inst_id"] for o in kwargs["orders"]])
        return self._batch_results(reply, kwargs["orders"])

    async def _request(self, request_id: str, send: Callable[[], object], timeout: float,
                       symbols: Sequence[str]) -> dict[str, Any]:
        await self._look_up(symbols)
        reply = self._sent(request_id, send)  # the codes are cached: it sends at once
        return await await_reply(self, request_id, reply, timeout)

    async def _look_up(self, symbols: Sequence[str]) -> None:
        """The instrument codes of `symbols`, fetched over REST in a worker thread when not
        cached, so that the send that follows goes out from the loop at once, and not at all
        when the call is cancelled (or times out) meanwhile: the worker never sends."""
        for symbol in dict.fromkeys(symbols):
            await asyncio.to_thread(_refusing_unlisted(partial(self._okx.instrument_code,
                                                               symbol)))
