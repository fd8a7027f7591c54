"""What OKX's WebSocket API v5 accepts, and how it refuses the rest: the channels of each
endpoint, the arguments they require, the rules of order operations, the login window and the
limits. Sections named below are anchors of https://www.okx.com/docs-v5/en/. Where the
documentation leaves a detail open (an exact threshold or text), the choice made here is marked
"unconfirmed".
"""

import re
from dataclasses import dataclass

# ---- #overview-production-trading-services: each endpoint serves its own channels ----

PUBLIC_CHANNELS = {"tickers", "trades", "books", "books5", "bbo-tbt", "books50-l2-tbt",
                   "books-l2-tbt", "instruments", "open-interest", "funding-rate", "mark-price",
                   "index-tickers", "price-limit", "opt-summary"}
PRIVATE_CHANNELS = {"orders", "account", "positions", "balance_and_position", "fills",
                    "liquidation-warning", "account-greeks"}
BUSINESS_CHANNELS = {"orders-algo", "algo-advance", "grid-orders-spot", "trades-all",
                     "deposit-info", "withdrawal-info"}
CHANNELS_OF = {"/ws/v5/public": PUBLIC_CHANNELS, "/ws/v5/private": PRIVATE_CHANNELS,
               "/ws/v5/business": BUSINESS_CHANNELS}
# Business channels such as orders-algo log in; on /public a login opens the l2-tbt books.
LOGIN_PATHS = {"/ws/v5/public", "/ws/v5/private", "/ws/v5/business"}
LOGIN_CHANNELS = {"books50-l2-tbt", "books-l2-tbt"}  # (and VIP4 or more: every test user has it)
ORDER_PATH = "/ws/v5/private"


def endpoint_of(channel: str) -> str | None:
    """The path that serves `channel` (candles of every bar live on /business)."""
    if channel.startswith(("candle", "mark-price-candle", "index-candle")):
        return "/ws/v5/business"
    return next((path for path, channels in CHANNELS_OF.items() if channel in channels), None)


# ---- #error-code-websocket-public: what a wrong place or a wrong request gets ----

def wrong_url(arg: dict) -> tuple[str, str]:
    return ("60018", f"Wrong URL or channel:{arg.get('channel', '')},instId:{arg.get('instId', '')} "
            "doesn't exist. Please use the correct URL, channel and parameters referring to API "
            "document.")


def moved_to_business() -> tuple[str, str]:
    return ("64001", "This channel has been migrated to the '/business' URL. Please subscribe "
            "using the new URL. More details can refer to: "
            "https://www.okx.com/help-center/changes-to-v5-api-websocket-subscription-parameter-and-url")


def not_on_business(channel: str) -> tuple[str, str]:
    return ("64002", f'This channel is not supported by "business" URL. Please use "'
            f'{"private" if channel in PRIVATE_CHANNELS else "public"}" URL')


OPERATION_NOT_HERE = ("60028", "The current operation is not supported by this URL. Please use "
                      "the correct WebSocket URL for the operation.")  # text unconfirmed
PLEASE_LOG_IN = ("60011", "Please log in")
TIER_TOO_LOW = ("64003", "Your trading fee tier doesn't meet the requirement to access this "
                "channel")  # the code is documented, the text unconfirmed
TOO_FREQUENT = ("60014", "Requests too frequent.")


def invalid_request(text: str) -> tuple[str, str]:
    return ("60012", f"Invalid request: {text}")


def echoed_id(request: object) -> str | None:
    """#overview-websocket-subscribe: the id a reply (an error event too) echoes, when the
    request had one; that operations' error events echo it as well is unconfirmed."""
    ident = request.get("id") if isinstance(request, dict) else None
    return ident if isinstance(ident, str) and ident else None


# ---- channel pages: the arguments each channel requires ----

INST_TYPES = {"SPOT", "MARGIN", "SWAP", "FUTURES", "OPTION", "EVENTS", "ANY"}
POSITION_INST_TYPES = INST_TYPES - {"SPOT"}
REQUIRED_ARG = {"orders": "instType", "positions": "instType", "fills": None,
                "tickers": "instId", "trades": "instId", "books": "instId", "books5": "instId",
                "bbo-tbt": "instId", "books50-l2-tbt": "instId", "books-l2-tbt": "instId",
                "instruments": "instType", "opt-summary": "instFamily", "funding-rate": "instId",
                "mark-price": "instId", "index-tickers": "instId", "price-limit": "instId"}
ALLOWED_INST_TYPES = {"orders": INST_TYPES, "positions": POSITION_INST_TYPES,
                      "instruments": INST_TYPES - {"ANY"}}


def subscription_error(path: str, arg: dict) -> tuple[str, str] | None:
    """Why `arg` cannot be subscribed on `path`, or None."""
    channel = arg.get("channel")
    if not isinstance(channel, str) or not all(isinstance(v, str) for v in arg.values()):
        return invalid_request(str(arg))
    home = endpoint_of(channel)
    if home is None:
        return wrong_url(arg)
    if home != path:
        if home == "/ws/v5/business":
            return moved_to_business()
        return not_on_business(channel) if path == "/ws/v5/business" else wrong_url(arg)
    required = REQUIRED_ARG.get(channel)
    if required and not arg.get(required):
        return invalid_request(f"{{\"channel\":\"{channel}\"}} requires {required}")
    allowed = ALLOWED_INST_TYPES.get(channel)
    if allowed and arg.get("instType") not in allowed:
        return invalid_request(f"instType {arg.get('instType')!r} of channel {channel}")
    return None


# ---- #overview-websocket-login: the signature is good for 30 s ----

LOGIN_WINDOW_S = 30.0


def login_error(ts: str, now: float) -> tuple[str, str] | None:
    if not ts.isdigit():
        return ("60004", "Invalid timestamp")
    if float(ts) < now - LOGIN_WINDOW_S:
        return ("60006", "Timestamp request expired")
    if float(ts) > now + LOGIN_WINDOW_S:  # the future skew allowed is unconfirmed
        return ("60004", "Invalid timestamp")
    return None


# ---- #order-book-trading-trade-ws-place-order and -cancel-order ----

@dataclass(frozen=True)
class Instrument:
    inst_id: str
    inst_type: str


# The instruments the simulator trades, by instIdCode (GET /api/v5/public/instruments reports
# them, as the exchange does).
INSTRUMENTS = {
    10459: Instrument("BTC-USDT", "SPOT"),
    10458: Instrument("ETH-USDT", "SPOT"),
    20102: Instrument("BTC-USDT-SWAP", "SWAP"),
    30777: Instrument("BTC-USD-261225-100000-C", "OPTION"),
}
ID_FORMAT = re.compile(r"[A-Za-z0-9]{1,32}")
TD_MODES = {"cash", "cross", "isolated", "spot_isolated"}
SIDES = {"buy", "sell"}
ORD_TYPES = {"market", "limit", "post_only", "fok", "ioc", "optimal_limit_ioc", "mmp",
             "mmp_and_post_only", "elp"}
PRICED_ORD_TYPES = {"limit", "post_only", "fok", "ioc", "mmp", "mmp_and_post_only"}
PRICE_MEMBERS = ("px", "pxUsd", "pxVol")
POS_SIDES = {"net", "long", "short"}
TGT_CCYS = {"base_ccy", "quote_ccy"}


def empty(param: str) -> tuple[str, str]:
    return ("50014", f"Parameter {param} can not be empty")


def bad(param: str) -> tuple[str, str]:
    return ("51000", f"Parameter {param} error")


# #error-code-rest-api-public: 50011, the rate limit, in an HTTP 200 reply with no data.
RATE_LIMITED = {"code": "50011", "msg": "Rate limit reached. Please refer to API documentation "
                "and throttle requests accordingly.", "data": []}


def relist(instruments: dict[int, Instrument], inst_id: str) -> int:
    """#public-data-rest-api-get-instruments: a relisted instrument gets a new instIdCode, and
    the old one names nothing (51001). The new code."""
    old = next(code for code, i in instruments.items() if i.inst_id == inst_id)
    new = max(instruments) + 1
    instruments[new] = instruments.pop(old)
    return new


def instrument_of(arg: dict, instruments: dict[int, Instrument] | None = None
                  ) -> tuple[Instrument | None, tuple[str, str] | None]:
    """The instrument an operation names by instIdCode (instId is ignored), or its error."""
    instruments = INSTRUMENTS if instruments is None else instruments
    code = arg.get("instIdCode")
    if code is None or code == "":
        return None, empty("instIdCode")
    if not isinstance(code, int) or isinstance(code, bool) or code not in instruments:
        return None, ("51001", "Instrument ID, Instrument ID code, or Spread ID doesn't exist.")
    return instruments[code], None


DECIMAL = re.compile(r"\d+(\.\d+)?")


def positive_decimal(value: object) -> bool:
    """Prices and sizes are strings of a positive decimal number: "abc", "-1" and "0" are not."""
    return isinstance(value, str) and bool(DECIMAL.fullmatch(value)) and float(value) > 0


def order_error(arg: dict, instruments: dict[int, Instrument] | None = None
                ) -> tuple[str, str] | None:
    """The (sCode, sMsg) refusing an order argument, or None when the exchange takes it."""
    instrument, error = instrument_of(arg, instruments)
    if error:
        return error
    for param, allowed in (("tdMode", TD_MODES), ("side", SIDES), ("ordType", ORD_TYPES)):
        if not arg.get(param):
            return empty(param)
        if arg[param] not in allowed:
            return bad(param)
    if not arg.get("sz"):
        return empty("sz")
    if not positive_decimal(arg["sz"]):
        return bad("sz")
    if any(p in arg and arg[p] != "" and not positive_decimal(arg[p]) for p in PRICE_MEMBERS):
        return bad(next(p for p in PRICE_MEMBERS if p in arg))
    if "clOrdId" in arg and not (isinstance(arg["clOrdId"], str)
                                 and ID_FORMAT.fullmatch(arg["clOrdId"])):
        return bad("clOrdId")
    if "posSide" in arg and arg["posSide"] not in POS_SIDES:
        return bad("posSide")
    if "tgtCcy" in arg and arg["tgtCcy"] not in TGT_CCYS:
        return bad("tgtCcy")
    if "reduceOnly" in arg and not isinstance(arg["reduceOnly"], bool):
        return bad("reduceOnly")
    prices = [member for member in PRICE_MEMBERS if member in arg]
    if instrument.inst_type != "OPTION" and set(prices) - {"px"}:
        return bad(next(p for p in prices if p != "px"))  # pxUsd and pxVol price options only
    if len(prices) > 1:
        return bad(prices[1])
    if arg["ordType"] in PRICED_ORD_TYPES and not (prices and arg[prices[0]]):
        return empty("px")
    return None


DUPLICATE_CL_ORD_ID = ("51016", "Duplicated clOrdId")


def find_order(orders: dict, ord_id: str | None, cl_ord_id: str | None) -> dict | None:
    """The order named by ordId, else by clOrdId (OKX takes ordId when both are given); of several
    with one clOrdId, the newest."""
    if ord_id:
        return orders.get(ord_id)
    if cl_ord_id:
        return next((o for o in reversed(orders.values()) if o["clOrdId"] == cl_ord_id), None)
    return None


def cancel_error(arg: dict, instruments: dict[int, Instrument] | None = None
                 ) -> tuple[str, str] | None:
    _, error = instrument_of(arg, instruments)
    if error:
        return error
    if not arg.get("ordId") and not arg.get("clOrdId"):
        return empty("ordId")
    return None


# ---- #order-book-trading-trade-ws-amend-order ----

AMEND_MEMBERS = ("newSz", "newPx", "newPxUsd", "newPxVol")
NO_SUCH_ORDER = ("51603", "Order does not exist")


def amend_error(arg: dict, instruments: dict[int, Instrument] | None = None
                ) -> tuple[str, str] | None:
    """An amend names the order as a cancel does and changes its size, its price or both."""
    error = cancel_error(arg, instruments)
    if error:
        return error
    given = [m for m in AMEND_MEMBERS if m in arg]
    if not given:
        return empty("newSz")  # "newSz or newPx is required": the text is unconfirmed
    bad_value = next((m for m in given if not positive_decimal(arg[m])), None)
    if bad_value:
        return bad(bad_value)
    if "cxlOnFail" in arg and not isinstance(arg["cxlOnFail"], bool):
        return bad("cxlOnFail")
    return None


def amend_price_error(arg: dict, placed_with: str) -> tuple[str, str] | None:
    """#order-book-trading-trade-ws-amend-order: a new price goes in the member matching the
    one the order was placed with (px → newPx, pxUsd → newPxUsd, pxVol → newPxVol)."""
    expected = "new" + placed_with[0].upper() + placed_with[1:]
    given = next((m for m in AMEND_MEMBERS[1:] if m in arg), None)
    return None if given in (None, expected) else bad(given)


# ---- #order-book-trading-trade-ws-place-multiple-orders (and cancel, amend): at most 20 ----

MAX_BATCH = 20
BATCH_OPS = {"batch-orders": "order", "batch-cancel-orders": "cancel-order",
             "batch-amend-orders": "amend-order"}
INVALID_ARGS = ("60013", "Invalid args")  # a batch over 20 or without orders: code unconfirmed


def batch_code(s_codes: list[str]) -> str:
    """"0" every order accepted, "1" every one refused, "2" some of each."""
    if all(c == "0" for c in s_codes):
        return "0"
    return "1" if all(c != "0" for c in s_codes) else "2"


# ---- #order-book-trading-trade-post-cancel-all-after ----

def cancel_all_after_error(body: object) -> tuple[str, str] | None:
    """timeOut: "0" turns the countdown off, else 10 to 120 seconds."""
    value = body.get("timeOut") if isinstance(body, dict) else None
    if value is None or value == "":
        return empty("timeOut")
    if not (isinstance(value, str) and value.isdigit()) or not (
            value == "0" or 10 <= int(value) <= 120):
        return bad("timeOut")
    return None


# ---- #overview-websocket-connect and #error-code-websocket-public: limits and forced closes ----

@dataclass
class OkxLimits:
    idle_close_s: float = 30.0          # no subscription or no push for this long: close 4004
    max_args_bytes: int = 64 * 1024     # a request's "args" beyond this: close 1009
    max_channels: int = 1024            # channels per connection before close 4009 (unconfirmed)
    requests_per_hour: int = 480        # subscribe + unsubscribe + login per connection: 60014
    upgrade_close_s: float = 60.0       # from the notice 64008 to the close


CLOSE_IDLE = (4004, "No data received in 30s")
CLOSE_TOO_LONG = (1009, "Request message exceeds the maximum frame length")
CLOSE_TOO_MANY_CHANNELS = (4009, "The number of subscription channels for this connection "
                                 "exceeds the limit")
CLOSE_UPGRADE = (1012, "Service upgrade")  # unconfirmed: the code OKX closes with after 64008
UPGRADE_NOTICE = {"event": "notice", "code": "64008",
                  "msg": "The connection will soon be closed for a service upgrade. Please "
                         "reconnect."}
