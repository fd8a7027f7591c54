"""The simulator's order books: one reference book per exchange and instrument, changed at
random by the feeds that show it (1 to 40 levels a change, at most 400 levels a side, a size of
0 removing a level), from which every book push and every REST snapshot is derived, in exact
decimal strings. Owned by the simulator's event loop: nothing here is touched from elsewhere.

OKX (#order-book-trading-market-data-ws-order-book-channel): books, books-l2-tbt (400 levels)
and books50-l2-tbt (50) push updates with prevSeqId/seqId (a sequence reset after maintenance
on command, an unchanged-book push after a quiet period, checksum 0) and, when set, a snapshot
on subscribe (prevSeqId -1); books5 and bbo-tbt push the top 5 and 1 levels whole.
MEXC: aggregated depth pushes fromVersion/toVersion, limit depth the top 5, 10 or 20 whole with
the book's version. A push of a book may be dropped, repeated or held back behind the next one,
or carry a bid at the best ask that the book does not hold (a crossed book), on command
(Book.faults); a book's feeds may be held still, on command, while a program compares its copy.
"""

import asyncio
import bisect
import random
import time
import zlib
from typing import Awaitable, Callable

from . import mexc_protobuf as pb
from .feeds import Broadcast, Broadcasts, compact, now_ms, paced

BOOK_QUIET_S = 60.0  # how long an OKX book stays unchanged before its unchanged-book push
MAX_LEVELS = 400  # a side, as OKX's deepest channel and REST snapshot show it
MIN_LEVELS = 100  # a side never thins out below this
FAULTS = {"drop", "repeat", "reorder", "cross"}
OKX_DEPTH = {"books": 400, "books-l2-tbt": 400, "books50-l2-tbt": 50, "books5": 5, "bbo-tbt": 1}
OKX_UPDATES = {"books", "books-l2-tbt", "books50-l2-tbt"}  # the channels with prevSeqId


def decimal(units: int, places: int) -> str:
    """units * 10**-places as an exact decimal string, without trailing zeros."""
    whole, frac = divmod(units, 10 ** places)
    text = f"{whole}.{frac:0{places}d}".rstrip("0") if places else str(whole)
    return text.rstrip(".")


class Side:
    """One side of a book: levels by key, the keys sorted best first (an ask's key is its price
    in ticks, a bid's the negated price)."""

    def __init__(self, sign: int) -> None:
        self.sign = sign
        self.levels: dict[int, tuple[int, int]] = {}  # key -> (size in lots, orders)
        self.keys: list[int] = []

    def put(self, key: int, size: int, orders: int) -> None:
        if key not in self.levels:
            bisect.insort(self.keys, key)
        self.levels[key] = (size, orders)

    def remove(self, key: int) -> None:
        del self.levels[key]
        del self.keys[bisect.bisect_left(self.keys, key)]

    def top(self, depth: int) -> list[int]:
        return self.keys[:depth]


class Book:
    """The exchange's book of one instrument, with its sequence: OKX's seqId or MEXC's version."""

    def __init__(self, exchange: str, instrument: str) -> None:
        self.exchange = exchange
        self.rng = random.Random(zlib.crc32(f"{exchange}:{instrument}".encode()))
        self.price_places = 1 if exchange == "okx" else 2
        self.size_places = 5
        self.asks, self.bids = Side(1), Side(-1)
        self.seq = self.rng.randrange(10**6, 10**7)  # OKX's smallest is 0; a reset goes near it
        self.ts = now_ms()
        self.reset_next = False
        self.pushes = 0  # pushes sent by the feeds of this book, the dropped ones included
        self.faults: dict[int, str] = {}  # push number -> "drop", "repeat", "reorder", "cross"
        self.running = asyncio.Event()  # cleared: its feeds push nothing until it is set again
        self.running.set()
        self.views: set["BookView"] = set()
        self.prices: dict[int, str] = {}  # each key's price, as text
        mid = 43000 * 10 ** self.price_places
        for side in (self.asks, self.bids):
            price = mid
            for _ in range(MAX_LEVELS):
                price += side.sign * self.rng.randint(1, 3)
                side.put(side.sign * price, self.new_size(), self.rng.randint(1, 20))

    def new_size(self) -> int:
        return self.rng.randint(1, 200_000)

    def side(self, name: str) -> Side:
        return self.asks if name == "asks" else self.bids

    def step(self) -> None:
        """One change: 1 to 40 levels set or removed near the top, the sequence advanced."""
        touched: list[tuple[Side, int]] = []
        for _ in range(min(40, 1 + int(self.rng.expovariate(1 / 6)))):  # mostly a few
            side = self.rng.choice((self.asks, self.bids))
            touched += self.change(side)
        if self.reset_next:
            self.reset_next = False
            self.seq = self.rng.randint(0, min(self.seq - 1, 99))
        else:
            self.seq += self.rng.randint(1, 3)
        self.ts = now_ms()
        for view in self.views:
            for side, key in touched:
                view.touched[side is self.bids].add(key)

    def change(self, side: Side) -> list[tuple[Side, int]]:
        rng, near = self.rng, min(int(self.rng.expovariate(1 / 15)), len(side.keys) - 1)
        roll = rng.random()
        if roll < 0.3 and len(side.keys) > MIN_LEVELS:
            key = side.keys[near]
            side.remove(key)
            return [(side, key)]
        if roll < 0.7:
            key = side.keys[near]
            side.put(key, self.new_size(), rng.randint(1, 20))
            return [(side, key)]
        other = self.bids if side is self.asks else self.asks
        key = -other.keys[0] + 1 + int(rng.expovariate(1 / 20))  # beyond the other side's best
        side.put(key, self.new_size(), rng.randint(1, 20))
        changed = [(side, key)]
        if len(side.keys) > MAX_LEVELS:  # the worst level falls out of the book
            changed.append((side, side.keys[-1]))
            side.remove(side.keys[-1])
        return changed

    def next_fault(self) -> str | None:
        return self.faults.get(self.pushes + 1)

    def take_fault(self) -> str | None:
        self.pushes += 1
        return self.faults.pop(self.pushes, None)

    def level(self, side: Side, key: int) -> tuple[str, str, int]:
        """(price, size, orders); size "0" for a level not in the book."""
        size, orders = side.levels.get(key, (0, 0))
        price = self.prices.get(key)
        if price is None:
            price = self.prices[key] = decimal(abs(key), self.price_places)
        return price, decimal(size, self.size_places), orders

    def levels(self, name: str, depth: int) -> list[tuple[str, str, int]]:
        side = self.side(name)
        return [self.level(side, key) for key in side.top(depth)]

    def reference(self, depth: int) -> dict:
        """What the control endpoint shows: the sequence and both sides, best first."""
        return {"seq": self.seq, "ts": self.ts,
                **{name: [[p, s] for p, s, _ in self.levels(name, depth)]
                   for name in ("asks", "bids")}}


class BookView:
    """The top `depth` levels of a book as one feed last showed them: what changed since."""

    def __init__(self, book: Book, depth: int) -> None:
        self.book, self.depth = book, depth
        self.touched: tuple[set[int], set[int]] = (set(), set())  # asks, bids
        self.shown: tuple[set[int], set[int]] = (set(), set())
        self.last = book.seq
        self.catch_up()
        book.views.add(self)

    def catch_up(self) -> None:
        """The view shows the book as it is now."""
        self.shown = (set(self.book.asks.top(self.depth)), set(self.book.bids.top(self.depth)))
        for touched in self.touched:
            touched.clear()
        self.last = self.book.seq

    def pending(self) -> bool:
        return self.last != self.book.seq or any(self.touched)

    def delta(self, name: str) -> list[tuple[str, str, int]]:
        index = name == "bids"
        side = self.book.side(name)
        if self.depth >= MAX_LEVELS:  # the whole book in view: only what changed counts
            keys = sorted(self.touched[index])
            self.touched[index].clear()
            return [self.book.level(side, key) for key in keys]
        now = set(side.top(self.depth))
        shown = self.shown[index]
        keys = sorted(k for k in self.touched[index] | (now ^ shown) if k in now or k in shown)
        self.touched[index].clear()
        self.shown = (now, self.shown[1]) if not index else (self.shown[0], now)
        return [self.book.level(side, key) if key in now else  # a level out of view: gone
                (decimal(abs(key), self.book.price_places), "0", 0) for key in keys]


def okx_levels(levels: list[tuple[str, str, int]]) -> list[list[str]]:
    return [[price, size, "0", str(orders)] for price, size, orders in levels]


class BookFeed(Broadcast):
    """A book channel of one instrument: each push of the paced feed changes the book first.
    OKX's update channels also push the unchanged book after `quiet()` seconds without a push."""

    def __init__(self, owner: Broadcasts, rate: float, limit: int | None, book: Book,
                 render: str, depth: int,
                 arg: dict | None = None, stream: object = None,
                 quiet: Callable[[], float] | None = None) -> None:
        self.book, self.render, self.arg, self.stream = book, render, arg, stream
        self.view = BookView(book, depth)
        self.quiet_s = quiet
        self.held: str | bytes | None = None  # a push held back to follow the next one
        self.last_push = time.monotonic()
        super().__init__(owner, rate, limit, self.make)
        self.task.add_done_callback(lambda _: book.views.discard(self.view))

    async def run(self, rate: float, limit: int | None) -> None:
        if self.quiet_s is not None:
            await asyncio.gather(self.paced_then_release(rate, limit), self.quiet())
        else:
            await self.paced_then_release(rate, limit)

    async def paced_then_release(self, rate: float, limit: int | None) -> None:
        await paced(rate, self.push, limit, self.book.running)
        if self.held is not None:  # the last push was held back: nothing follows it
            held, self.held = self.held, None
            await self.send_all(held)

    def make(self, seq: int) -> str | bytes:
        self.book.step()
        return self.message(seq, cross=self.book.next_fault() == "cross")

    def message(self, seq: int, cross: bool = False) -> str | bytes:
        """The push of what changed; with `cross`, it also carries a bid at the best ask, a
        level the book does not hold (an update channel's only)."""
        book, view = self.book, self.view
        crossing = [(book.level(book.asks, book.asks.keys[0])[0], "1", 1)] if cross else []
        if self.render == "okx-update":
            asks, bids = view.delta("asks"), view.delta("bids") + crossing
            prev, view.last = view.last, book.seq
            return self.okx({"asks": okx_levels(asks), "bids": okx_levels(bids),
                             "ts": str(book.ts), "checksum": 0, "prevSeqId": prev,
                             "seqId": book.seq}, "update")
        if self.render == "okx-whole":  # books5, bbo-tbt: no prevSeqId, no checksum
            view.catch_up()
            return self.okx({"asks": okx_levels(book.levels("asks", view.depth)),
                             "bids": okx_levels(book.levels("bids", view.depth)),
                             "ts": str(book.ts), "seqId": book.seq}, None)
        stream = self.stream
        if self.render == "mexc-aggre":
            asks, bids = view.delta("asks"), view.delta("bids") + crossing
            first, view.last = view.last + 1, book.seq
            body = pb.aggre_depth(stream.name, asks, bids, str(first), str(book.seq))
        else:
            view.catch_up()
            body = pb.limit_depth(stream.name, book.levels("asks", view.depth),
                                  book.levels("bids", view.depth), str(book.seq))
        return pb.wrapper(stream.name, stream.body, body, stream.groups.get("symbol"),
                          create_time=seq, stamped=False)

    def okx(self, item: dict, action: str | None) -> str:
        message = {"arg": self.arg, "action": action, "data": [item]}
        if action is None:
            del message["action"]
        return compact(message)

    def snapshot(self) -> str:
        """OKX's initial snapshot of the view, as a new subscriber gets it."""
        book, view = self.book, self.view
        view.catch_up()
        return self.okx({"asks": okx_levels(book.levels("asks", view.depth)),
                         "bids": okx_levels(book.levels("bids", view.depth)),
                         "ts": str(book.ts), "checksum": 0, "prevSeqId": -1,
                         "seqId": book.seq}, "snapshot")

    async def push(self, seq: int) -> None:
        await self.book.running.wait()  # held: goes out when released
        self.last = seq
        await self.emit(self.make(seq))
        await asyncio.sleep(0)  # a feed fallen behind still lets the loop answer REST and controls

    async def emit(self, message: str | bytes) -> None:
        """Sends a push, or drops, repeats or holds it back as the book's faults say (a crossing
        push was made so)."""
        self.last_push = time.monotonic()
        fault = self.book.take_fault()
        if self.skip:
            self.skip, fault = False, "drop"
        if fault == "drop":
            return
        if fault == "reorder":
            if self.held is None:
                self.held = message
                return
        out = [message, message] if fault == "repeat" else [message]
        if self.held is not None:
            out.append(self.held)
            self.held = None
        for each in out:
            await self.send_all(each)

    async def flush(self) -> None:
        """Pushes what changed since the last push to the subscribers there are."""
        while self.view.pending():
            if self.subscribers:
                await self.emit(self.message(self.last))
            else:
                self.view.catch_up()

    async def quiet(self) -> None:
        """#order-book-trading-market-data-ws-order-book-channel: with no change for a while
        (about 60 s) the channel pushes empty asks and bids, seqId = prevSeqId = the last."""
        assert self.quiet_s is not None
        while True:
            due = self.last_push + self.quiet_s() - time.monotonic()
            if due > 0:
                await asyncio.sleep(due)
                continue
            if self.view.pending():
                self.last_push = time.monotonic()  # changed: the next push carries it
                continue
            await self.emit(self.okx({"asks": [], "bids": [], "ts": str(now_ms()),
                                      "checksum": 0, "prevSeqId": self.view.last,
                                      "seqId": self.view.last}, "update"))


class Books:
    """Every reference book of the simulator, made on first use, kept for its life."""

    def __init__(self) -> None:
        self.books: dict[tuple[str, str], Book] = {}

    def get(self, exchange: str, instrument: str) -> Book:
        key = (exchange, instrument)
        if key not in self.books:
            self.books[key] = Book(exchange, instrument)
        return self.books[key]


async def join(broadcasts: Broadcasts, name: str, subscriber: int,
               send: Callable[[str | bytes], Awaitable[None]], make: Callable[[], BookFeed],
               snapshot: bool) -> None:
    """Subscribes to a book feed (started by the first subscription); with `snapshot`, the new
    subscriber gets the book's snapshot first, the feed's later pushes continuing it."""
    feed = broadcasts.feeds.get(name)
    if feed is None or feed.task.cancelled():
        feed = broadcasts.feeds[name] = make()
    assert isinstance(feed, BookFeed)
    if not snapshot:
        feed.subscribers[subscriber] = send
        return
    await feed.flush()
    message = feed.snapshot()  # nothing awaited between the snapshot and the subscription
    feed.subscribers[subscriber] = send
    await send(message)


def okx_feed(sim, arg: dict) -> BookFeed:
    """The feed of an OKX book channel (`arg` as subscribed: channel and instId)."""
    channel = arg["channel"]
    book = sim.books.get("okx", arg.get("instId", ""))
    updates = channel in OKX_UPDATES
    return BookFeed(sim.broadcasts, sim.rate, sim.feed_limit, book,
                    "okx-update" if updates else "okx-whole",
                    OKX_DEPTH[channel], arg={"channel": channel, "instId": arg.get("instId", "")},
                    quiet=(lambda: sim.book_quiet_s) if updates else None)


def mexc_feed(sim, stream) -> BookFeed:
    """The feed of a MEXC depth stream: aggregated (body 313) or limit depth (303)."""
    book = sim.books.get("mexc", stream.groups["symbol"])
    if stream.body == 313:
        return BookFeed(sim.broadcasts, sim.rate, sim.feed_limit, book, "mexc-aggre", MAX_LEVELS,
                        stream=stream)
    return BookFeed(sim.broadcasts, sim.rate, sim.feed_limit, book, "mexc-limit",
                    int(stream.groups["level"]),
                    stream=stream)
