"""What MEXC's spot v3 API accepts, and how it refuses the rest: the live protobuf stream names,
the streams per connection, listen keys and the signed REST rules. Sections named below are
anchors of https://mexcdevelop.github.io/apidocs/spot_v3_en/; the body of each stream is the
field of PushDataV3ApiWrapper in MEXC's published .proto files
(github.com/mexcdevelop/websocket-proto). Where the documentation leaves a detail open (a code
or a text), the choice made here is marked "unconfirmed".
"""

import re
from dataclasses import dataclass

# ---- #websocket-market-streams: the live streams (protobuf) and the body each pushes ----

SYMBOL = r"(?P<symbol>[A-Z0-9]{2,20})"
SPEED = r"(?:100ms|10ms)"
INTERVAL = r"(?P<interval>Min1|Min5|Min15|Min30|Min60|Hour4|Hour8|Day1|Week1|Month1)"
TIME_ZONE = r"(?P<tz>24H|UTC-10|UTC-[3-8]|UTC\+(?:1[0-3]|[0-9])|UTC\+4:30|UTC\+5:30|UTC\+12:45)"
PUBLIC_STREAMS = [  # (name pattern, wrapper field of its body)
    (rf"spot@public\.aggre\.deals\.v3\.api\.pb@{SPEED}@{SYMBOL}", 314),
    (rf"spot@public\.kline\.v3\.api\.pb@{SYMBOL}@{INTERVAL}", 308),
    (rf"spot@public\.aggre\.depth\.v3\.api\.pb@{SPEED}@{SYMBOL}", 313),
    (rf"spot@public\.limit\.depth\.v3\.api\.pb@{SYMBOL}@(?P<level>5|10|20)", 303),
    (rf"spot@public\.aggre\.bookTicker\.v3\.api\.pb@{SPEED}@{SYMBOL}", 315),
    (rf"spot@public\.bookTicker\.batch\.v3\.api\.pb@{SYMBOL}", 311),
    (rf"spot@public\.miniTicker\.v3\.api\.pb@{SYMBOL}@{TIME_ZONE}", 309),
    (rf"spot@public\.miniTickers\.v3\.api\.pb@{TIME_ZONE}", 310),
]
PUBLIC_PATTERNS = [(re.compile(pattern), body) for pattern, body in PUBLIC_STREAMS]

# #websocket-user-data-streams: with a listen key only
PRIVATE_STREAMS = {"spot@private.orders.v3.api.pb": 304, "spot@private.deals.v3.api.pb": 306,
                   "spot@private.account.v3.api.pb": 307}


@dataclass(frozen=True)
class Stream:
    name: str
    body: int          # the PushDataV3ApiWrapper field of its messages
    groups: dict       # symbol, interval, level or tz as the name gives them


def parse_stream(name: str, private: bool) -> Stream | None:
    """The stream `name` subscribes to, or None when MEXC blocks it (a retired JSON stream, a
    trailing "@", unknown parts, a private stream without a listen key)."""
    if private and name in PRIVATE_STREAMS:
        return Stream(name, PRIVATE_STREAMS[name], {})
    for pattern, body in PUBLIC_PATTERNS:
        match = pattern.fullmatch(name)
        if match:
            return Stream(name, body, match.groupdict())
    return None


def blocked(names: list[str]) -> dict:
    """The reply to names that are not subscribed (the colon is a full-width one)."""
    return {"id": 0, "code": 0,
            "msg": f"Not Subscribed successfully! [{','.join(names)}]  Reason： Blocked!"}


def acknowledged(names: list[str]) -> dict:
    return {"id": 0, "code": 0, "msg": ",".join(names)}


# ---- #limits and #websocket-user-data-streams ----

@dataclass
class MexcLimits:
    max_streams: int = 30                      # per connection; extras are blocked
    key_life_s: float = 3600.0                 # a listen key lapses an hour after its extension
    max_keys: int = 60                         # valid listen keys per account
    connections_per_key: int = 5
    connection_life_s: float = 24 * 3600.0     # then the connection is closed
    no_subscription_close_s: float = 30.0      # open without a valid subscription: closed
    idle_close_s: float = 60.0                 # no request (a PING is one): closed


KEY_LIMIT_REACHED = (400, {"code": 730002, "msg": "Listen key limit reached"})  # unconfirmed
INVALID_KEY = (400, {"code": 730001, "msg": "Invalid listenKey"})               # unconfirmed
LIFE_OVER = (1000, "connection life over")                                     # unconfirmed
NO_SUBSCRIPTION = (1000, "no valid subscription")                              # unconfirmed
NO_TRAFFIC = (1000, "no traffic")                                              # unconfirmed

# ---- #general-info: signed requests ----

RECV_WINDOW_MS = 5000
MAX_RECV_WINDOW_MS = 60000
MAX_AHEAD_MS = 1000


def error(code: int, msg: str, status: int = 400) -> tuple[int, dict]:
    return status, {"code": code, "msg": msg}


def timestamp_error(params: dict, now_ms: float) -> tuple[int, dict] | None:
    """A timestamp is accepted from recvWindow ago until a second ahead."""
    window = params.get("recvWindow", str(RECV_WINDOW_MS))
    if not window.isdigit() or int(window) > MAX_RECV_WINDOW_MS:
        return error(700005, "recvWindow must less than 60000")
    timestamp = params.get("timestamp", "")
    if (not timestamp.isdigit() or int(timestamp) >= now_ms + MAX_AHEAD_MS
            or now_ms - int(timestamp) > int(window)):
        return error(700003, "Timestamp for this request is outside of the recvWindow.")
    return None


# ---- #new-order and #cancel-order ----

SIDES = {"BUY", "SELL"}
ORDER_TYPES = {"LIMIT", "MARKET", "LIMIT_MAKER", "IMMEDIATE_OR_CANCEL", "FILL_OR_KILL"}
PRICED_TYPES = {"LIMIT", "LIMIT_MAKER", "IMMEDIATE_OR_CANCEL", "FILL_OR_KILL"}


def mandatory(name: str) -> tuple[int, dict]:
    return error(700004, f"Mandatory parameter '{name}' was not sent, was empty/null, or "
                 "malformed.")


# #new-order: the symbols the simulator trades (as #exchange-information would list them); MEXC
# refuses any other with 10007 (the text is unconfirmed), and prices and quantities that are not
# positive decimals.
SYMBOLS = {"BTCUSDT", "ETHUSDT", "MXUSDT"}
BAD_SYMBOL = error(10007, "symbol not support api")
DECIMAL = re.compile(r"\d+(\.\d+)?")


def symbol_error(params: dict) -> tuple[int, dict] | None:
    if not params.get("symbol"):
        return mandatory("symbol")
    return None if params["symbol"] in SYMBOLS else BAD_SYMBOL


def order_error(params: dict) -> tuple[int, dict] | None:
    for name in ("symbol", "side", "type"):
        if not params.get(name):
            return mandatory(name)
    if params["symbol"] not in SYMBOLS:
        return BAD_SYMBOL
    for name in ("quantity", "price", "quoteOrderQty"):
        value = params.get(name)
        if value and not (DECIMAL.fullmatch(value) and float(value) > 0):
            return error(700004, f"Parameter '{name}' is invalid.")  # text unconfirmed
    if params["side"] not in SIDES:
        return error(700004, "Parameter 'side' is invalid.")  # text unconfirmed
    if params["type"] not in ORDER_TYPES:
        return error(700004, "Parameter 'type' is invalid.")  # text unconfirmed
    if params["type"] == "MARKET":
        if not params.get("quantity") and not params.get("quoteOrderQty"):
            return mandatory("quantity")
        return None
    for name in ("quantity", "price"):
        if not params.get(name):
            return mandatory(name)
    return None


# #batch-orders: at most 20 orders, all of one symbol (codes and texts unconfirmed).
MAX_BATCH = 20


def batch_error(orders: object) -> tuple[int, dict] | None:
    if not isinstance(orders, list) or not orders or not all(isinstance(o, dict) for o in orders):
        return mandatory("batchOrders")
    if len(orders) > MAX_BATCH:
        return error(700004, "Parameter 'batchOrders' is invalid: at most 20 orders")
    if len({o.get("symbol") for o in orders}) > 1:
        return error(700004, "Parameter 'batchOrders' is invalid: one symbol only")
    return None


def cancel_error(params: dict) -> tuple[int, dict] | None:
    if not params.get("symbol"):
        return mandatory("symbol")
    if not params.get("orderId") and not params.get("origClientOrderId"):
        return error(700004, "Param 'origClientOrderId' or 'orderId' must be sent, but both "
                     "were empty/null!")
    return None
