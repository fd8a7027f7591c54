"""The simulator's MEXC WebSocket endpoint: SUBSCRIPTION and UNSUBSCRIPTION answered as the
exchange does, only the live protobuf streams accepted (at most 30 per connection), each pushing
the body its channel has in MEXC's .proto files, {"method":"PING"} answered, private order and
account updates as protobuf for connections opened with a listen key, and a connection life
limit (sim/mexc_rules.py)."""

import asyncio
import json
import time
from typing import TYPE_CHECKING

from websockets.exceptions import ConnectionClosed

from . import books
from . import mexc_protobuf as pb
from . import mexc_rules as rules
from .feeds import PriceWalk, compact

if TYPE_CHECKING:
    from .server import Connection, Simulator


def flatten(params: object) -> list[str] | None:
    """Channel texts of a flat "params" array, as #websocket-market-streams shows both
    SUBSCRIPTION and UNSUBSCRIPTION; None for any other shape (a list inside the list names no
    stream, so nothing is unsubscribed: what MEXC answers to it is unconfirmed)."""
    if not isinstance(params, list) or not all(isinstance(x, str) for x in params):
        return None
    return list(params)


def public_message(stream: rules.Stream, seq: int, price: float) -> bytes:
    """One message of a public stream but the depth streams (sim/books.py): its body in the
    wrapper, the sequence in createTime."""
    groups = stream.groups
    body = {
        314: lambda: pb.aggre_deals(stream.name, seq, price),
        308: lambda: pb.kline(groups["interval"], seq, price),
        315: lambda: pb.aggre_book_ticker(seq, price),
        311: lambda: pb.book_ticker_batch(seq, price),
        309: lambda: pb.mini_ticker(groups["symbol"], price),
        310: lambda: pb.mini_tickers(price),
    }[stream.body]()
    return pb.wrapper(stream.name, stream.body, body, groups.get("symbol"), create_time=seq,
                      stamped=False)


class MexcSession:
    def __init__(self, sim: "Simulator", conn: "Connection") -> None:
        self.sim = sim
        self.conn = conn
        self.listen_key = conn.query.get("listenKey")
        self.streams: dict[str, rules.Stream] = {}
        self.feeds: set[str] = set()  # the broadcasts joined
        self.last_request = self.unserved_since = time.monotonic()
        self.life = asyncio.ensure_future(self.end_of_life())
        self.watchdog = asyncio.ensure_future(self.close_when_idle())

    async def send(self, value: object) -> None:
        await self.conn.ws.send(value if isinstance(value, (str, bytes)) else compact(value))

    async def send_stamped(self, message: bytes) -> None:
        """A public push with this connection's sendTime: each connection has its own gateway."""
        await self.send(pb.send_time(message, self.conn.id))

    async def end_of_life(self) -> None:
        """#websocket-market-streams: a connection lives at most 24 hours."""
        await asyncio.sleep(self.sim.mexc_limits.connection_life_s)
        try:
            await self.conn.ws.close(*rules.LIFE_OVER)
        except ConnectionClosed:
            pass

    async def close_when_idle(self) -> None:
        """#websocket-market-streams: a connection without a valid subscription for 30 s, or
        without a request for 60 s, is closed."""
        limits = self.sim.mexc_limits
        try:
            while True:
                now = time.monotonic()
                unserved = now - self.unserved_since if not self.streams else 0.0
                if unserved >= limits.no_subscription_close_s:
                    await self.conn.ws.close(*rules.NO_SUBSCRIPTION)
                    return
                if now - self.last_request >= limits.idle_close_s:
                    await self.conn.ws.close(*rules.NO_TRAFFIC)
                    return
                await asyncio.sleep(min(limits.no_subscription_close_s - unserved,
                                        limits.idle_close_s - (now - self.last_request)))
        except ConnectionClosed:
            pass

    async def on_message(self, message: str | bytes) -> None:
        self.last_request = time.monotonic()
        try:
            request = json.loads(message)
            method = request.get("method")
        except (ValueError, AttributeError):
            await self.send({"id": 0, "code": 0, "msg": "Wrong request format"})
            return
        if method == "PING":
            await self.send({"id": 0, "code": 0, "msg": "PONG"})
        elif method in ("SUBSCRIPTION", "UNSUBSCRIPTION") and (
                names := flatten(request.get("params"))) is not None:
            await (self.subscribe if method == "SUBSCRIPTION" else self.unsubscribe)(names)
        else:
            await self.send({"id": 0, "code": 0, "msg": "Wrong request format"})

    async def subscribe(self, names: list[str]) -> None:
        accepted, refused = [], []
        for name in names:
            stream = rules.parse_stream(name, private=bool(self.listen_key))
            full = len(self.streams) >= self.sim.mexc_limits.max_streams and name not in self.streams
            if stream is None or full:
                refused.append(name)
                continue
            accepted.append(name)
            self.streams[name] = stream
            if name not in rules.PRIVATE_STREAMS and name not in self.feeds and self.sim.rate > 0:
                self.feeds.add(name)
                if stream.body in (313, 303):
                    await books.join(self.sim.broadcasts, name, self.conn.id, self.send_stamped,
                                     lambda s=stream: books.mexc_feed(self.sim, s), False)
                    continue
                walk = PriceWalk(43000.0, hash(name))
                self.sim.broadcasts.join(name, self.conn.id, self.send_stamped, self.sim.rate,
                                         self.sim.feed_limit,
                                         lambda seq, s=stream: public_message(s, seq, walk.step()))
        if accepted:
            await self.send(rules.acknowledged(accepted))
        if refused:
            await self.send(rules.blocked(refused))

    async def unsubscribe(self, names: list[str]) -> None:
        for name in names:
            if name in self.feeds:
                self.feeds.discard(name)
                self.sim.broadcasts.leave(name, self.conn.id)
            self.streams.pop(name, None)
        if not self.streams:
            self.unserved_since = time.monotonic()
        await self.send(rules.acknowledged(names))

    async def push_order(self, order: dict) -> None:
        """An order placed or cancelled over REST: the private order and account streams."""
        if "spot@private.orders.v3.api.pb" in self.streams:
            await self.send(pb.wrapper("spot@private.orders.v3.api.pb", 304,
                                       pb.private_order(order), order["symbol"]))
        if "spot@private.account.v3.api.pb" in self.streams:
            change = "-" if order["status"] == "CANCELED" else ""
            await self.send(pb.wrapper("spot@private.account.v3.api.pb", 307,
                                       pb.private_account("USDT", change + order["origQty"])))

    def close(self) -> None:
        self.life.cancel()
        self.watchdog.cancel()
        for name in self.feeds:
            self.sim.broadcasts.leave(name, self.conn.id)
