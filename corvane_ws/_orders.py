"""The order vocabulary both exchanges share: sides, order types and what each exchange calls
them. A later call (amend, batch, open orders) adds its mapping here."""

from __future__ import annotations

import json
from typing import Any, Final, Literal

from .errors import OrderNotFound, OrderRejected, RequestRefused

type Side = Literal["buy", "sell"]
type OrderType = Literal["limit", "market", "post_only", "ioc", "fok"]

SIDES: Final = ("buy", "sell")
OKX_TYPES: Final = {"limit": "limit", "market": "market", "post_only": "post_only",
                    "ioc": "ioc", "fok": "fok"}
MEXC_TYPES: Final = {"limit": "LIMIT", "market": "MARKET", "post_only": "LIMIT_MAKER",
                     "ioc": "IMMEDIATE_OR_CANCEL", "fok": "FILL_OR_KILL"}
PRICED: Final = frozenset({"limit", "post_only", "ioc", "fok"})
NOT_FOUND: Final = frozenset({"51603", "-2013", "-2011"})


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


def rejected(code: str, msg: str, reply: dict[str, Any], **more: Any) -> OrderRejected:
    kind = OrderNotFound if code in NOT_FOUND else OrderRejected
    return kind(code, msg, reply, **more)


def from_refused(e: RequestRefused) -> OrderRejected:
    """A REST refusal (MEXC's HTTP 4xx) as an OrderRejected with the exchange's code."""
    try:
        reply = json.loads(e.body)
    except ValueError:
        reply = {}
    if not isinstance(reply, dict):
        reply = {}
    return rejected(str(reply.get("code", e.status)), str(reply.get("msg", e.body)), reply,
                    status=e.status, retry_after=e.retry_after, body=e.body)
