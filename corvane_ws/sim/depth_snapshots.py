"""Order-book snapshots over REST, taken from the reference books the feeds push (sim/books.py),
with the sequence a program aligns the feed's pushes on, within the exchanges' rate limits:
OKX  GET /api/v5/market/books?instId=I&sz=N  (#order-book-trading-market-data-get-order-book:
     sz at most 400 a side, default 1; 40 requests per 2 s per IP)
MEXC GET /api/v3/depth?symbol=S&limit=N      (#order-book: limit default 100, at most 5000;
     500 requests per 10 s per endpoint)
What either answers beyond its largest depth is unconfirmed: the simulator gives the largest.
On command (`book_rest`) every snapshot request is refused as over the rate limit (429, the
exchanges' documented answer) or never answered (held until the command changes, then dropped).
"""

import asyncio
from typing import TYPE_CHECKING
from urllib.parse import parse_qsl, urlsplit

from .books import okx_levels
from .feeds import now_ms

if TYPE_CHECKING:
    from .server import Simulator

# path: (requests, seconds) allowed
LIMITS = {"/api/v5/market/books": (40, 2.0), "/api/v3/depth": (500, 10.0)}
OKX_RATE_LIMITED = (429, {"code": "50011", "msg": "Too Many Requests", "data": []})
MEXC_RATE_LIMITED = (429, {"code": 429, "msg": "Too Many Requests"})


def over_limit(sim: "Simulator", path: str) -> bool:
    """Counts the request; whether it is past its path's limit (the refused ones count too)."""
    count, window = LIMITS[path]
    now = sim.clock()
    recent = [t for t in sim.book_requests.get(path, []) if now - t < window] + [now]
    sim.book_requests[path] = recent
    return len(recent) > count


def depth(query: dict, name: str, default: int, largest: int) -> int | None:
    try:
        value = int(query.get(name) or default)
    except ValueError:
        return None
    return min(value, largest) if value > 0 else None


def okx_books(sim: "Simulator", target: str) -> tuple[int, dict]:
    query = dict(parse_qsl(urlsplit(target).query))
    inst_id = query.get("instId")
    if not inst_id:
        return 400, {"code": "50014", "msg": "Parameter instId can not be empty", "data": []}
    size = depth(query, "sz", 1, 400)
    if size is None:
        return 400, {"code": "51000", "msg": "Parameter sz error", "data": []}
    book = sim.books.get("okx", inst_id)
    snapshot = {"asks": okx_levels(book.levels("asks", size)),
                "bids": okx_levels(book.levels("bids", size)),
                "ts": str(book.ts), "seqId": book.seq}
    return 200, {"code": "0", "msg": "", "data": [snapshot]}


def mexc_depth(sim: "Simulator", target: str) -> tuple[int, dict]:
    query = dict(parse_qsl(urlsplit(target).query))
    symbol = query.get("symbol")
    if not symbol:
        return 400, {"code": -1102, "msg": "Mandatory parameter 'symbol' was not sent"}
    limit = depth(query, "limit", 100, 5000)
    if limit is None:
        return 400, {"code": -1100, "msg": "Illegal characters found in parameter 'limit'"}
    book = sim.books.get("mexc", symbol)
    return 200, {"lastUpdateId": book.seq,
                 "bids": [[p, s] for p, s, _ in book.levels("bids", limit)],
                 "asks": [[p, s] for p, s, _ in book.levels("asks", limit)],
                 "timestamp": now_ms()}


MODES = {"ok", "429", "hang"}


class BookRest:
    """How the snapshot endpoints answer: "ok", "429" (every request refused as over the rate
    limit) or "hang" (never answered). Owned by the simulator's loop."""

    def __init__(self) -> None:
        self.mode = "ok"
        self.released = asyncio.Event()  # set when "hang" ends

    def set(self, mode: str) -> None:
        if mode not in MODES:
            raise ValueError(f"book-rest mode {mode!r}: one of {sorted(MODES)}")
        if mode == "hang" and self.mode != "hang":
            self.released = asyncio.Event()
        elif mode != "hang":
            self.released.set()
        self.mode = mode


def hangs(sim: "Simulator", method: str, target: str) -> bool:
    """Whether this request is one to leave unanswered now."""
    return (sim.book_rest.mode == "hang" and method == "GET"
            and urlsplit(target).path in LIMITS)


async def hang(sim: "Simulator") -> None:
    """Holds an unanswered snapshot request until "hang" ends (its connection is then dropped,
    still unanswered)."""
    await sim.book_rest.released.wait()


def handle(sim: "Simulator", method: str, target: str) -> tuple[int, dict] | None:
    """The snapshot a request asks for, or None when it asks for none."""
    path = urlsplit(target).path
    if method != "GET" or path not in LIMITS:
        return None
    okx = path == "/api/v5/market/books"
    if over_limit(sim, path) or sim.book_rest.mode == "429":
        return OKX_RATE_LIMITED if okx else MEXC_RATE_LIMITED
    return okx_books(sim, target) if okx else mexc_depth(sim, target)
