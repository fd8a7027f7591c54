"""The simulator's MEXC WebSocket endpoint: SUBSCRIPTION and UNSUBSCRIPTION acknowledged as the
exchange does, deals pushed as protobuf frames (".pb" channels) or JSON text frames, and
{"method":"PING"} answered. A private stream needs a listen key issued over REST."""

import asyncio
import json
from typing import TYPE_CHECKING

from sim.feeds import PriceWalk, compact, mexc_deal_json, mexc_deal_protobuf, now_ms, run_feed

if TYPE_CHECKING:
    from sim.server import Connection, Simulator


def flatten(params: object) -> list[str]:
    """Channel texts of a "params" array, flat or nested one level."""
    out: list[str] = []
    for item in params if isinstance(params, list) else []:
        if isinstance(item, list):
            out.extend(str(x) for x in item)
        else:
            out.append(str(item))
    return out


def symbol_of(channel: str) -> str:
    parts = [p for p in channel.split("@") if p]
    return next((p for p in reversed(parts) if p.isalnum() and p.upper() == p and not p.isdigit()),
                "BTCUSDT")


class MexcSession:
    def __init__(self, sim: "Simulator", conn: "Connection") -> None:
        self.sim = sim
        self.conn = conn
        self.listen_key = conn.query.get("listenKey")
        self.feeds: dict[str, asyncio.Task] = {}
        self.private_channels: set[str] = set()
        self.walk = PriceWalk(43000.0, conn.id)

    async def send(self, value: object) -> None:
        await self.conn.ws.send(value if isinstance(value, (str, bytes)) else compact(value))

    async def on_message(self, message: str | bytes) -> None:
        try:
            request = json.loads(message)
            method = request.get("method")
        except (ValueError, AttributeError):
            await self.send({"id": 0, "code": 0, "msg": "Wrong request format"})
            return
        if method == "PING":
            await self.send({"id": 0, "code": 0, "msg": "PONG"})
        elif method == "SUBSCRIPTION":
            await self.subscribe(flatten(request.get("params")))
        elif method == "UNSUBSCRIPTION":
            await self.unsubscribe(flatten(request.get("params")))
        else:
            await self.send({"id": 0, "code": 0, "msg": "Wrong request format"})

    async def subscribe(self, channels: list[str]) -> None:
        await self.send({"id": 0, "code": 0, "msg": ",".join(channels)})
        for channel in channels:
            if "private" in channel:
                if self.listen_key:
                    self.private_channels.add(channel)
            elif channel not in self.feeds and self.sim.rate > 0:
                self.feeds[channel] = asyncio.create_task(self.feed(channel))

    async def unsubscribe(self, channels: list[str]) -> None:
        for channel in channels:
            task = self.feeds.pop(channel, None)
            if task:
                task.cancel()
            self.private_channels.discard(channel)
        await self.send({"id": 0, "code": 0, "msg": ",".join(channels)})

    async def feed(self, channel: str) -> None:
        name = channel.rstrip("@")
        symbol = symbol_of(name)
        build = mexc_deal_protobuf if ".pb" in name else mexc_deal_json

        async def push(seq: int) -> None:
            await self.send(build(name, symbol, seq, self.walk.step()))

        await run_feed(self.sim.rate, push, self.sim.feed_limit)

    async def push_order(self, order: dict) -> None:
        for channel in self.private_channels:
            if "orders" in channel:
                await self.send({"c": channel, "d": order, "t": now_ms()})

    def close(self) -> None:
        for task in self.feeds.values():
            task.cancel()
