"""Market data the simulator pushes: a price walk, OKX's message shapes, and a paced sender.
Every pushed item carries the simulator's own sequence number, counting from 1 for the feed
and going on where it stopped when the feed starts again (as an exchange's trade ids do), so
that a client can prove nothing was lost or reordered: OKX data items carry
"seqId", MEXC protobuf messages createTime (sim/mexc_protobuf.py). Order books are fed from
reference books instead (sim/books.py), with the exchanges' own sequences (OKX seqId/prevSeqId,
MEXC versions), which a feed breaks on command (Broadcast.skip).
"""

import asyncio
import json
import random
import time
from typing import Awaitable, Callable

from websockets.exceptions import ConnectionClosed


class PriceWalk:
    def __init__(self, start: float, seed: int) -> None:
        self._price = start
        self._rng = random.Random(seed)

    def step(self) -> float:
        self._price = max(0.01, self._price * (1 + self._rng.gauss(0, 0.0004)))
        return round(self._price, 1)


def now_ms() -> int:
    return int(time.time() * 1000)


def compact(value: object) -> str:
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


# ---- OKX ----

def okx_data(channel: str, inst_id: str, seq: int, price: float) -> str:
    ts = str(now_ms())
    arg = {"channel": channel, "instId": inst_id}
    px = f"{price:.1f}"
    if channel == "trades":
        item = {"instId": inst_id, "tradeId": str(seq), "px": px, "sz": "0.01",
                "side": "buy" if seq % 2 else "sell", "ts": ts, "count": "1", "seqId": seq}
        return compact({"arg": arg, "data": [item]})
    item = {"instType": "SPOT", "instId": inst_id, "last": px, "lastSz": "0.01",
            "askPx": f"{price + 0.1:.1f}", "askSz": "1.2", "bidPx": f"{price - 0.1:.1f}",
            "bidSz": "0.8", "open24h": px, "high24h": px, "low24h": px, "volCcy24h": "1000",
            "vol24h": "10", "ts": ts, "sodUtc0": px, "sodUtc8": px, "seqId": seq}
    return compact({"arg": arg, "data": [item]})


# ---- pacing ----

async def paced(rate: float, send: Callable[[int], Awaitable[None]], count: int | None = None,
                running: asyncio.Event | None = None) -> None:
    """Calls send(seq) for seq = 1, 2, ... at `rate` per second (all that are due at once when
    the loop falls behind), until `count` were sent or the task is cancelled. While `running`
    is clear nothing is sent, and the time it stays clear does not count."""
    loop = asyncio.get_running_loop()
    start = loop.time()
    seq = 0
    while count is None or seq < count:
        if running is not None and not running.is_set():
            held = loop.time()
            await running.wait()
            start += loop.time() - held
        due = int((loop.time() - start) * rate) + 1
        if count is not None:
            due = min(due, count)
        while seq < due:
            seq += 1
            await send(seq)
        await asyncio.sleep(max(0.0, start + seq / rate - loop.time()))


# ---- broadcasting ----

class Broadcast:
    """One public feed, numbered from 1, pushed byte for byte to every connection subscribed to
    it (as an exchange does), for as long as one is. With `repeat_every` N, every N-th push
    goes out after a repeat of the push `repeat_lag` before it, the same bytes: a genuine
    repeat."""

    def __init__(self, owner: "Broadcasts", rate: float, limit: int | None,
                 make: Callable[[int], str | bytes], first: int = 1) -> None:
        self.owner = owner
        self.make = make
        self.before = first - 1  # numbers a previous run of this feed used
        self.subscribers: dict[int, Callable[[str | bytes], Awaitable[None]]] = {}
        self.recent: dict[int, str | bytes] = {}  # the last pushes a repeat may take, by number
        self.last = 0     # the last sequence number made
        self.skip = False  # the next number is never sent: a gap every subscriber sees
        self.task = asyncio.ensure_future(self.run(rate, limit))

    async def run(self, rate: float, limit: int | None) -> None:
        await paced(rate, lambda n: self.push(self.before + n), limit)

    async def push(self, seq: int) -> None:
        self.last = seq
        if self.skip:
            self.skip = False
            return
        every, lag = self.owner.repeat_every, self.owner.repeat_lag
        if every > 0 and seq % every == 0 and seq - lag in self.recent:
            await self.send_all(self.recent[seq - lag])
        message = self.make(seq)
        if every > 0:
            self.recent.pop(seq - lag, None)
            self.recent[seq] = message
        await self.send_all(message)

    async def send_all(self, message: str | bytes) -> None:
        for subscriber, send in list(self.subscribers.items()):
            try:
                await send(message)
            except ConnectionClosed:
                self.subscribers.pop(subscriber, None)


class Broadcasts:
    """The simulator's public feeds by name: joined by the first subscription, ended with the
    last. A feed that has sent its limit stays finished for later subscribers, and one that
    starts again goes on from its last number (an exchange's sequence does not start again at
    1)."""

    def __init__(self) -> None:
        self.feeds: dict[str, Broadcast] = {}
        self.ended: dict[str, int] = {}  # the last number of each feed that has ended
        self.repeat_every = 0  # see Broadcast; 0: no repeats
        self.repeat_lag = 2

    def join(self, name: str, subscriber: int, send: Callable[[str | bytes], Awaitable[None]],
             rate: float, limit: int | None, make: Callable[[int], str | bytes]) -> None:
        feed = self.feeds.get(name)
        if feed is None or (feed.task.cancelled()):
            first = self.ended.get(name, 0) + 1
            feed = self.feeds[name] = Broadcast(self, rate, limit, make, first)
        feed.subscribers[subscriber] = send

    def leave(self, name: str, subscriber: int) -> None:
        feed = self.feeds.get(name)
        if feed is None:
            return
        feed.subscribers.pop(subscriber, None)
        if not feed.subscribers:
            feed.task.cancel()
            self.ended[name] = feed.last
            del self.feeds[name]
