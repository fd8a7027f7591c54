"""The simulator's OKX WebSocket endpoint: login checked with its own HMAC, subscriptions with
acknowledgements and data feeds, orders and cancels with the exchange's reply shapes, and
"ping" answered with "pong"."""

import asyncio
import base64
import hashlib
import hmac
import itertools
import json
import time
from typing import TYPE_CHECKING

from sim.feeds import PriceWalk, compact, now_ms, okx_data, run_feed

if TYPE_CHECKING:
    from sim.server import Connection, Simulator

PRIVATE_CHANNELS = {"orders", "account", "positions", "balance_and_position"}
_order_ids = itertools.count(600000001)


def okx_sign(timestamp: str, secret: str) -> str:
    digest = hmac.new(secret.encode(), (timestamp + "GET" + "/users/self/verify").encode(),
                      hashlib.sha256).digest()
    return base64.b64encode(digest).decode()


class OkxSession:
    def __init__(self, sim: "Simulator", conn: "Connection") -> None:
        self.sim = sim
        self.conn = conn
        self.conn_id = f"{conn.id:08x}"
        self.logged_in = False
        self.feeds: dict[str, asyncio.Task] = {}
        self.private_channels: set[str] = set()
        self.walk = PriceWalk(43000.0, conn.id)

    async def send(self, value: object) -> None:
        await self.conn.ws.send(value if isinstance(value, str) else compact(value))

    async def on_message(self, message: str | bytes) -> None:
        if message == "ping":
            if self.sim.okx_answers_pings:
                await self.send("pong")
            return
        try:
            request = json.loads(message)
            op = request["op"]
        except (ValueError, KeyError, TypeError):
            await self.error("60012", f"Invalid request: {message!s:.100}")
            return
        handler = {"login": self.login, "subscribe": self.subscribe,
                   "unsubscribe": self.unsubscribe, "order": self.order,
                   "cancel-order": self.cancel}.get(op)
        if handler is None:
            await self.error("60012", f"Invalid request: {message!s:.100}")
        else:
            await handler(request)

    async def error(self, code: str, msg: str) -> None:
        await self.send({"event": "error", "code": code, "msg": msg, "connId": self.conn_id})

    async def login(self, request: dict) -> None:
        creds = self.sim.okx_credentials
        arg = (request.get("args") or [{}])[0]
        ts = arg.get("timestamp", "")
        if arg.get("apiKey") != creds.api_key:
            await self.error("60005", "Invalid apiKey")
        elif not ts.isdigit() or abs(int(ts) - time.time()) > 30:
            await self.error("60004", "Invalid timestamp")
        elif arg.get("passphrase") != creds.passphrase:
            await self.error("60024", "Wrong passphrase")
        elif not hmac.compare_digest(arg.get("sign", ""), okx_sign(ts, creds.secret)):
            await self.error("60007", "Invalid sign")
        else:
            self.logged_in = True
            await self.send({"event": "login", "code": "0", "msg": "", "connId": self.conn_id})

    async def subscribe(self, request: dict) -> None:
        for arg in request.get("args", []):
            channel = arg.get("channel", "")
            if channel in PRIVATE_CHANNELS:
                if not self.logged_in:
                    await self.error("60011", "Please log in")
                    continue
                self.private_channels.add(channel)
            await self.send({"event": "subscribe", "arg": arg, "connId": self.conn_id})
            key = compact(arg)
            if channel not in PRIVATE_CHANNELS and key not in self.feeds and self.sim.rate > 0:
                self.feeds[key] = asyncio.create_task(self.feed(channel, arg.get("instId", "")))

    async def unsubscribe(self, request: dict) -> None:
        for arg in request.get("args", []):
            task = self.feeds.pop(compact(arg), None)
            if task:
                task.cancel()
            self.private_channels.discard(arg.get("channel", ""))
            await self.send({"event": "unsubscribe", "arg": arg, "connId": self.conn_id})

    async def feed(self, channel: str, inst_id: str) -> None:
        async def push(seq: int) -> None:
            await self.send(okx_data(channel, inst_id, seq, self.walk.step()))

        await run_feed(self.sim.rate, push, self.sim.feed_limit)

    def reply(self, request: dict, code: str, msg: str, data: list) -> dict:
        return {"id": request.get("id", ""), "op": request["op"], "code": code, "msg": msg,
                "data": data, "inTime": str(now_ms() * 1000), "outTime": str(now_ms() * 1000)}

    async def order(self, request: dict) -> None:
        arg = (request.get("args") or [{}])[0]
        if not self.logged_in:
            await self.send(self.reply(request, "60011", "Please log in", []))
            return
        if not arg.get("tdMode"):
            item = {"clOrdId": "", "ordId": "", "tag": "", "ts": str(now_ms()),
                    "sCode": "51000", "sMsg": "Parameter tdMode error"}
            await self.send(self.reply(request, "1", "", [item]))
            return
        order = {"instId": arg.get("instId", ""), "ordId": str(next(_order_ids)), "clOrdId": "",
                 "px": arg.get("pxUsd", arg.get("px", "")), "sz": arg.get("sz", ""),
                 "side": arg.get("side", ""), "ordType": arg.get("ordType", ""),
                 "tdMode": arg.get("tdMode", ""), "state": "live"}
        self.sim.okx_orders[order["ordId"]] = order
        item = {"clOrdId": "", "ordId": order["ordId"], "tag": "", "ts": str(now_ms()),
                "sCode": "0", "sMsg": "Order placed"}
        await self.send(self.reply(request, "0", "", [item]))
        await self.push_order(order)

    async def cancel(self, request: dict) -> None:
        arg = (request.get("args") or [{}])[0]
        order = self.sim.okx_orders.get(arg.get("ordId", ""))
        if not self.logged_in:
            await self.send(self.reply(request, "60011", "Please log in", []))
        elif order is None or order["state"] != "live":
            item = {"clOrdId": "", "ordId": arg.get("ordId", ""), "ts": str(now_ms()),
                    "sCode": "51400", "sMsg": "Order cancellation failed as the order has been "
                    "filled, canceled or does not exist"}
            await self.send(self.reply(request, "1", "", [item]))
        else:
            order["state"] = "canceled"
            item = {"clOrdId": "", "ordId": order["ordId"], "ts": str(now_ms()), "sCode": "0",
                    "sMsg": ""}
            await self.send(self.reply(request, "0", "", [item]))
            await self.push_order(order)

    async def push_order(self, order: dict) -> None:
        if "orders" in self.private_channels:
            data = dict(order, uTime=str(now_ms()), cTime=str(now_ms()))
            await self.send({"arg": {"channel": "orders", "instType": "ANY", "uid": "1"},
                             "data": [data]})

    def close(self) -> None:
        for task in self.feeds.values():
            task.cancel()
