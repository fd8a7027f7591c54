"""Order-book snapshots over REST, numbered like the feeds they belong to, so that a program can
resynchronise a local book after a sequence break:
OKX  GET /api/v5/market/books?instId=I&sz=N&source=0  (#order-book-trading-market-data-get-order-book)
MEXC GET /api/v3/depth?symbol=S&limit=N               (#order-book)
"""

from urllib.parse import parse_qsl, urlsplit

from .feeds import Broadcasts, now_ms


def _last_number(broadcasts: Broadcasts, channel_part: str, instrument: str) -> int:
    """The last sequence number of a running book feed of the instrument, 0 if none runs."""
    numbers = [feed.last for name, feed in broadcasts.feeds.items()
               if channel_part in name and instrument in name]
    return max(numbers, default=0)


def _levels(count: int, start: float, step: float) -> list[list[str]]:
    return [[f"{start + step * i:.1f}", "0.5"] for i in range(count)]


def okx_books(broadcasts: Broadcasts, target: str) -> tuple[int, dict]:
    query = dict(parse_qsl(urlsplit(target).query))
    inst_id = query.get("instId")
    if not inst_id:
        return 400, {"code": "50014", "msg": "Parameter instId can not be empty", "data": []}
    size = min(int(query.get("sz", "1") or "1"), 400)
    seq = _last_number(broadcasts, '"books', f'"instId":"{inst_id}"')
    book = {"asks": [a + ["0", "2"] for a in _levels(size, 43000.1, 0.1)],
            "bids": [b + ["0", "2"] for b in _levels(size, 42999.9, -0.1)],
            "ts": str(now_ms()), "seqId": seq}
    return 200, {"code": "0", "msg": "", "data": [book]}


def mexc_depth(broadcasts: Broadcasts, target: str) -> tuple[int, dict]:
    query = dict(parse_qsl(urlsplit(target).query))
    symbol = query.get("symbol")
    if not symbol:
        return 400, {"code": -1102, "msg": "Mandatory parameter 'symbol' was not sent"}
    limit = min(int(query.get("limit", "100") or "100"), 5000)
    seq = _last_number(broadcasts, "depth", "@" + symbol)
    return 200, {"lastUpdateId": seq, "bids": _levels(limit, 42999.9, -0.1),
                 "asks": _levels(limit, 43000.1, 0.1), "timestamp": now_ms()}


def handle(broadcasts: Broadcasts, method: str, target: str) -> tuple[int, dict] | None:
    """The snapshot a request asks for, or None when it asks for none."""
    path = urlsplit(target).path
    if method != "GET":
        return None
    if path == "/api/v5/market/books":
        return okx_books(broadcasts, target)
    if path == "/api/v3/depth":
        return mexc_depth(broadcasts, target)
    return None
