"""The order vocabulary both exchanges share: sides, order types, what each exchange calls
them, and the orders of a batch."""

# No postponed annotations here: a TypedDict learns which keys NotRequired marks only from
# evaluated ones, and batch calls check the keys with them.
import json
import re
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any, Final, Literal, NotRequired, TypedDict

from ._numbers import Number
from .errors import (OrderNotFound, OrderRejected, RateLimited, RequestOutcomeUnknown,
                     RequestRefused)

type Side = Literal["buy", "sell"]
type OrderType = Literal["limit", "market", "post_only", "ioc", "fok"]

SIDES: Final = ("buy", "sell")
OKX_TYPES: Final = {"limit": "limit", "market": "market", "post_only": "post_only",
                    "ioc": "ioc", "fok": "fok"}
MEXC_TYPES: Final = {"limit": "LIMIT", "market": "MARKET", "post_only": "LIMIT_MAKER",
                     "ioc": "IMMEDIATE_OR_CANCEL", "fok": "FILL_OR_KILL"}
PRICED: Final = frozenset({"limit", "post_only", "ioc", "fok"})
# No such order, or none open by that id: OKX's 51400 and 51401 answer a cancel of an order
# filled, cancelled or unknown, as MEXC's -2011 does.
NOT_FOUND: Final = frozenset({"51603", "51400", "51401", "-2013", "-2011"})
RATE_LIMIT_CODES: Final = frozenset({"50011", "50061"})
RATE_LIMIT_STATUSES: Final = frozenset({429, 418})
MAX_BATCH: Final = 20
# The module's order keywords that the package fills from its own arguments: never from extra.
COVERED: Final = {"ord_id": "the request id (or id)", "msg_id": "the request id",
                  "inst_id": "symbol", "side": "side", "ordType": "type", "sz": "amount",
                  "px": "price", "tdMode": "td_mode", "cl_ord_id": "client_order_id",
                  "newSz": "amount", "newPx": "price", "cxlOnFail": "cancel_on_fail"}
_OKX_CLIENT_ID: Final = re.compile(r"[0-9A-Za-z]{1,32}")

type PxField = Literal["px", "pxUsd", "pxVol"]


class OkxExtra(TypedDict, total=False):
    """OKX's other order fields, as ``create_order`` takes them by keyword: ``pos_side``
    ("long", "short"; OKX's posSide), ``tgt_ccy`` ("base_ccy", "quote_ccy"; tgtCcy),
    ``reduce_only`` (reduceOnly), ``ccy`` (the margin currency) and ``px_field`` (the field an
    option's price goes in: "pxUsd" by default, or "pxVol")."""

    pos_side: str
    tgt_ccy: str
    reduce_only: bool
    ccy: str
    px_field: PxField


class MexcOrderRequest(TypedDict):
    """One order of MEXC's ``create_orders``: ``create_order``'s arguments by name."""

    symbol: str
    type: OrderType
    side: Side
    amount: Number
    price: NotRequired[Number | None]
    client_order_id: NotRequired[str | None]


class OrderRequest(MexcOrderRequest):
    """One order of ``create_orders``: ``create_order``'s arguments by name. ``td_mode``
    (default "cash") and ``extra`` (``OkxExtra``: ``create_order``'s OKX keywords) are OKX's."""

    td_mode: NotRequired[str]
    extra: NotRequired[OkxExtra]


class CancelRequest(TypedDict):
    """One order of ``cancel_orders``: its symbol and ``id`` or ``client_order_id``."""

    symbol: str
    id: NotRequired[str | None]
    client_order_id: NotRequired[str | None]


class AmendRequest(CancelRequest):
    """One order of ``amend_orders``: a ``CancelRequest`` with the new ``amount`` and/or
    ``price``."""

    amount: NotRequired[Number | None]
    price: NotRequired[Number | None]


type BatchResult = list[dict[str, Any] | OrderRejected]
"""Each order's outcome, in the order given: the exchange's entry for it when it was accepted,
the ``OrderRejected`` (returned, not raised) when it was refused."""


def check_batch(orders: Sequence[Any], kind: type[Any]) -> None:
    """ValueError for a batch of no or too many orders; TypeError for an order that lacks a
    key `kind` requires or has one it does not know (a misspelt key is never ignored)."""
    if not 1 <= len(orders) <= MAX_BATCH:
        raise ValueError(f"a batch holds 1 to {MAX_BATCH} orders, not {len(orders)}")
    for index, order in enumerate(orders):
        if not isinstance(order, dict):
            raise TypeError(f"orders[{index}] is a dict, not {type(order).__name__}")
        missing = kind.__required_keys__ - order.keys()
        unknown = order.keys() - kind.__required_keys__ - kind.__optional_keys__
        if missing or unknown:
            raise TypeError(f"orders[{index}] ({kind.__name__}) "
                            + (f"lacks {', '.join(sorted(missing))}" if missing else
                               f"has unknown keys {', '.join(sorted(map(str, unknown)))}"))


@contextmanager
def batch_order(index: int) -> Iterator[None]:
    """An argument mistake in the order at `index` of a batch names it."""
    try:
        yield
    except (TypeError, ValueError) as e:
        raise type(e)(f"orders[{index}]: {e}") from None


def okx_extra(extra: object) -> OkxExtra:
    """OKX's other order fields, checked: TypeError for a key that is not one of them (above all
    one the package sets from its own arguments, which extra never overrides) or a value of the
    wrong type; ValueError for a px_field OKX does not know. Nothing is sent then."""
    if not isinstance(extra, dict):
        raise TypeError(f"extra is a dict, not {type(extra).__name__}")
    for key, value in extra.items():
        if key in COVERED:
            raise TypeError(f"extra may not hold {key!r}: that is {COVERED[key]}, set from the "
                            f"order's own arguments")
        if key not in OkxExtra.__optional_keys__:
            raise TypeError(f"extra has unknown key {key!r}; it takes "
                            f"{', '.join(sorted(OkxExtra.__optional_keys__))}")
        wanted = bool if key == "reduce_only" else str
        if not isinstance(value, wanted):
            raise TypeError(f"{key} must be a {wanted.__name__}, not {type(value).__name__}")
    if extra.get("px_field", "px") not in ("px", "pxUsd", "pxVol"):
        raise ValueError("px_field must be px, pxUsd or pxVol")
    checked: OkxExtra = extra  # type: ignore[assignment]
    return checked


def okx_client_id(client_order_id: object) -> str | None:
    """An OKX client order id as OKX takes it; ValueError (TypeError: not a str) otherwise."""
    if client_order_id is None:
        return None
    if not isinstance(client_order_id, str):
        raise TypeError(f"client_order_id must be a str, not {type(client_order_id).__name__}")
    if not _OKX_CLIENT_ID.fullmatch(client_order_id):
        raise ValueError(f"client_order_id must be 1 to 32 letters and digits, not "
                         f"{client_order_id!r}")
    return client_order_id


def check_order(type: str, side: str, price: object) -> None:
    """ValueError for a side or order type neither exchange knows, or a price that does not
    fit the type; nothing is sent then."""
    if side not in SIDES:
        raise ValueError(f"side must be 'buy' or 'sell', not {side!r}")
    if type not in OKX_TYPES:
        raise ValueError(f"type must be one of {', '.join(OKX_TYPES)}; not {type!r}")
    if type in PRICED and price is None:
        raise ValueError(f"a {type} order needs a price")
    if type == "market" and price is not None:
        raise ValueError("a market order takes no price")


def symbol_of(symbol: object) -> str:
    """The ``symbol`` argument, a non-empty str (TypeError, ValueError otherwise)."""
    if not isinstance(symbol, str):
        raise TypeError(f"symbol must be a str, not {type(symbol).__name__}")
    if not symbol:
        raise ValueError("symbol must not be empty")
    return symbol


def named(id: str | None, client_order_id: str | None) -> None:
    if id is None and client_order_id is None:
        raise ValueError("needs id or client_order_id")


def rejected(code: str, msg: str, reply: dict[str, Any],
             **more: Any) -> OrderRejected | RateLimited:
    """The refusal an exchange's code (and HTTP status) names."""
    if code in RATE_LIMIT_CODES or more.get("status") in RATE_LIMIT_STATUSES:
        return RateLimited(code, msg, reply, **more)
    kind = OrderNotFound if code in NOT_FOUND else OrderRejected
    return kind(code, msg, reply, **more)


def refused_entry(code: str, msg: str, entry: dict[str, Any], *, index: int,
                  client_order_id: str | None) -> OrderRejected:
    """The refusal of one order of a batch, returned among the others and naming it: an
    ``OrderRejected`` even for the rate limit (a batch refused as a whole for it raises
    ``RateLimited``)."""
    kind = OrderNotFound if code in NOT_FOUND else OrderRejected
    return kind(code, msg, entry, index=index, client_order_id=client_order_id)


def rest(call: Callable[..., str | None], **kwargs: Any) -> str | None:
    """A signed REST call; a refusal as an OrderRejected with the exchange's code."""
    try:
        return call(**kwargs)
    except RequestRefused as e:
        raise from_refused(e) from e


def from_refused(e: RequestRefused) -> OrderRejected | RateLimited:
    """A REST refusal (an HTTP 4xx, or an error code in a 2xx) as the refusal it names."""
    try:
        reply = json.loads(e.body)
    except ValueError:
        reply = {}
    if not isinstance(reply, dict):
        reply = {}
    return rejected(str(reply.get("code", e.status)), str(reply.get("msg", e.body)), reply,
                    status=e.status, retry_after=e.retry_after, body=e.body)


def answer_json(text: str | None) -> Any:
    """An exchange's answer, parsed; RequestOutcomeUnknown for none, or one that is not JSON
    (the request may have been carried out all the same)."""
    if text is None:  # the exchange's calls always answer; never take silence for success
        raise RequestOutcomeUnknown("Request outcome unknown: no answer")
    try:
        return json.loads(text)
    except ValueError:
        raise not_documented(text) from None


def not_documented(answer: object) -> RequestOutcomeUnknown:
    return RequestOutcomeUnknown(f"Request outcome unknown: not the documented answer: {answer}")
