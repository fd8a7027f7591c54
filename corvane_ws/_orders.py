"""The order vocabulary both exchanges share: sides, order types, what each exchange calls
them, and the orders of a batch."""

# No postponed annotations here: a TypedDict learns which keys NotRequired marks only from
# evaluated ones, and batch calls check the keys with them.
import json
from collections.abc import Callable, Sequence
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


class OrderRequest(TypedDict):
    """One order of ``create_orders``: ``create_order``'s arguments by name. ``td_mode``
    (default "cash") and ``extra`` (OKX's other fields by the module's keywords) are OKX's."""

    symbol: str
    type: OrderType
    side: Side
    amount: Number
    price: NotRequired[Number | None]
    client_order_id: NotRequired[str | None]
    td_mode: NotRequired[str]
    extra: NotRequired[dict[str, str | bool | None]]


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
    for order in orders:
        if not isinstance(order, dict):
            raise TypeError(f"an order of a batch is a dict, not {type(order).__name__}")
        missing = kind.__required_keys__ - order.keys()
        unknown = order.keys() - kind.__required_keys__ - kind.__optional_keys__
        if missing or unknown:
            raise TypeError(f"an order of a batch ({kind.__name__}) "
                            + (f"lacks {', '.join(sorted(missing))}" if missing else
                               f"has unknown keys {', '.join(sorted(map(str, unknown)))}"))


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


def refused_entry(code: str, msg: str, entry: dict[str, Any]) -> OrderRejected:
    """The refusal of one order of a batch, returned among the others: an ``OrderRejected``
    even for the rate limit (a batch refused as a whole for it raises ``RateLimited``)."""
    kind = OrderNotFound if code in NOT_FOUND else OrderRejected
    return kind(code, msg, entry)


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
