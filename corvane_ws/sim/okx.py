"""The simulator's OKX WebSocket endpoints (/ws/v5/public, /private, /business): login checked
with its own HMAC, subscriptions with acknowledgements and data feeds, orders and cancels with
the exchange's reply shapes, "ping" answered with "pong", and everything the exchange refuses
refused the way it does (sim/okx_rules.py)."""

import asyncio
import base64
import hashlib
import hmac
import itertools
import json
import time
from typing import TYPE_CHECKING

from websockets.exceptions import ConnectionClosed

from . import books
from . import okx_rules as rules
from .feeds import PriceWalk, compact, now_ms, okx_data

if TYPE_CHECKING:
    from .server import Connection, Simulator

_order_ids = itertools.count(600000001)

# Replies an operation may get that OKX does not document: a faulty gateway's, for the client
# to take as an unknown outcome (the operation itself is carried out).
ODD_ANSWERS = {
    "empty-data": lambda reply: dict(reply, data=[]),
    "blank-entry": lambda reply: dict(reply, data=[{"ordId": "", "clOrdId": ""}]),
    "short-batch": lambda reply: dict(reply, data=reply["data"][:-1]),
}


def okx_sign(timestamp: str, secret: str) -> str:
    digest = hmac.new(secret.encode(), (timestamp + "GET" + "/users/self/verify").encode(),
                      hashlib.sha256).digest()
    return base64.b64encode(digest).decode()


class OkxSession:
    def __init__(self, sim: "Simulator", conn: "Connection") -> None:
        self.sim = sim
        self.conn = conn
        self.path = conn.path
        self.conn_id = f"{conn.id:08x}"
        self.logged_in = False
        self.feeds: set[str] = set()  # the broadcasts joined, by name
        self.private_args: list[dict] = []  # the private subscriptions, as they were named
        self.channels: set[str] = set()      # every subscription of the connection
        self.requests: list[float] = []      # when subscribe, unsubscribe and login came
        self.last_push = time.monotonic()
        self.watchdog = asyncio.ensure_future(self.close_when_idle())
        self.upgrade: asyncio.Task | None = None
        self.held_acks: list[dict] = []  # while the simulator holds acknowledgements back
        self.late_answers: list[tuple[dict, list[dict]]] = []  # operations' replies held back

    async def send(self, value: object) -> None:
        self.last_push = time.monotonic()
        await self.conn.ws.send(value if isinstance(value, str) else compact(value))

    async def close_with(self, code_and_reason: tuple[int, str]) -> None:
        await self.conn.ws.close(*code_and_reason)

    async def close_when_idle(self) -> None:
        """#overview-websocket-connect: no subscription or no push for 30 s ends a connection."""
        limit = self.sim.okx_limits.idle_close_s
        try:
            while True:
                silent = time.monotonic() - self.last_push
                if silent >= limit:
                    await self.close_with(rules.CLOSE_IDLE)
                    return
                await asyncio.sleep(limit - silent)
        except ConnectionClosed:
            pass

    async def on_message(self, message: str | bytes) -> None:
        if message == "ping":
            if self.sim.okx_answers_pings:
                await self.send("pong")
            return
        try:
            request = json.loads(message)
        except ValueError:
            request = None
        op = request.get("op") if isinstance(request, dict) else None
        op = op if isinstance(op, str) else None
        handler = {"login": self.login, "subscribe": self.subscribe,
                   "unsubscribe": self.unsubscribe, "order": self.order,
                   "cancel-order": self.cancel, "amend-order": self.amend,
                   **{batch: self.batch for batch in rules.BATCH_OPS}}.get(op)
        if handler is None:
            await self.error(*rules.invalid_request(f"{message!s:.100}"),
                             ident=rules.echoed_id(request))
        elif op in ("login", "subscribe", "unsubscribe") and self.over_request_limit():
            await self.error(*rules.TOO_FREQUENT)
        else:
            await handler(request)
            if op in ("login", "subscribe", "unsubscribe"):
                await self.send_late_answers()

    def over_request_limit(self) -> bool:
        now = time.monotonic()
        self.requests = [t for t in self.requests if now - t < 3600] + [now]
        return len(self.requests) > self.sim.okx_limits.requests_per_hour

    async def error(self, code: str, msg: str, ident: str | None = None) -> None:
        """#overview-websocket-subscribe: an error event, with the request's id when it had one."""
        event = {"event": "error", "code": code, "msg": msg, "connId": self.conn_id}
        await self.send(event if ident is None else {"id": ident, **event})

    # ---- login ----

    async def login(self, request: dict) -> None:
        if self.path not in rules.LOGIN_PATHS:
            await self.error(*rules.OPERATION_NOT_HERE)
            return
        creds = self.sim.okx_credentials
        arg = (request.get("args") or [{}])[0]
        ts = arg.get("timestamp", "")
        if arg.get("apiKey") != creds.api_key:
            await self.error("60005", "Invalid apiKey")
        elif (refusal := rules.login_error(ts, self.sim.exchange_time())) is not None:
            await self.error(*refusal)
        elif arg.get("passphrase") != creds.passphrase:
            await self.error("60024", "Wrong passphrase")
        elif not hmac.compare_digest(arg.get("sign", ""), okx_sign(ts, creds.secret)):
            await self.error("60007", "Invalid sign")
        else:
            self.logged_in = True
            await self.send({"event": "login", "code": "0", "msg": "", "connId": self.conn_id})

    # ---- subscriptions ----

    async def subscribe(self, request: dict) -> None:
        args = request.get("args") or []
        if len(compact(args).encode()) > self.sim.okx_limits.max_args_bytes:
            await self.close_with(rules.CLOSE_TOO_LONG)
            return
        for arg in args:
            refusal = rules.subscription_error(self.path, arg) if isinstance(arg, dict) else \
                rules.invalid_request(str(arg))
            if refusal is None and arg["channel"] in rules.PRIVATE_CHANNELS and not self.logged_in:
                refusal = rules.PLEASE_LOG_IN
            if refusal is None and arg["channel"] in rules.LOGIN_CHANNELS and not self.logged_in:
                refusal = rules.TIER_TOO_LOW
            if refusal is not None:
                await self.error(*refusal)
                continue
            await self.add(arg)

    async def add(self, arg: dict) -> None:
        key = compact(arg)
        self.channels.add(key)
        if len(self.channels) > self.sim.okx_limits.max_channels:
            await self.close_with(rules.CLOSE_TOO_MANY_CHANNELS)
            return
        ack = {"event": "subscribe", "arg": arg, "connId": self.conn_id}
        if self.sim.okx_hold_acks:
            self.held_acks.append(ack)
        else:
            await self.send(ack)
        if arg["channel"] in rules.PRIVATE_CHANNELS:
            self.private_args.append(arg)
        elif key not in self.feeds and self.sim.rate > 0:
            self.feeds.add(key)
            channel, inst_id = arg["channel"], arg.get("instId", "")
            if channel in books.OKX_DEPTH:
                await books.join(self.sim.broadcasts, self.path + key, self.conn.id, self.send,
                                 lambda: books.okx_feed(self.sim, arg),
                                 channel in books.OKX_UPDATES and self.sim.okx_book_snapshots)
                return
            walk = PriceWalk(43000.0, hash(key))
            self.sim.broadcasts.join(self.path + key, self.conn.id, self.send, self.sim.rate,
                                     self.sim.feed_limit,
                                     lambda seq: okx_data(channel, inst_id, seq, walk.step()))

    async def unsubscribe(self, request: dict) -> None:
        for arg in request.get("args", []):
            key = compact(arg)
            if key in self.feeds:
                self.feeds.discard(key)
                self.sim.broadcasts.leave(self.path + key, self.conn.id)
            self.channels.discard(key)
            self.private_args = [a for a in self.private_args if a != arg]
            await self.send({"event": "unsubscribe", "arg": arg, "connId": self.conn_id})

    # ---- orders ----

    def reply(self, request: dict, code: str, msg: str, data: list) -> dict:
        return {"id": request.get("id", ""), "op": request["op"], "code": code, "msg": msg,
                "data": data, "inTime": str(now_ms() * 1000), "outTime": str(now_ms() * 1000)}

    def item(self, arg: dict, s_code: str, s_msg: str, ord_id: str = "") -> dict:
        return {"clOrdId": arg.get("clOrdId", ""), "ordId": ord_id, "tag": "", "ts": str(now_ms()),
                "sCode": s_code, "sMsg": s_msg}

    async def refused_operation(self, request: dict) -> bool:
        """Answers an operation that cannot go through at all; True if it did."""
        if self.path != rules.ORDER_PATH:
            await self.error(*rules.OPERATION_NOT_HERE, ident=rules.echoed_id(request))
        elif not isinstance(request.get("id"), str) or not rules.ID_FORMAT.fullmatch(request["id"]):
            await self.send(self.reply(request, "60013", "Invalid args", []))
        elif not self.logged_in:
            await self.error(*rules.PLEASE_LOG_IN, ident=request["id"])
        elif self.sim.okx_rate_limited_ops > 0:
            self.sim.okx_rate_limited_ops -= 1
            limited = rules.RATE_LIMITED
            await self.send(self.reply(request, limited["code"], limited["msg"], []))
        else:
            return False
        return True

    def place_one(self, arg: dict) -> tuple[dict, dict | None]:
        """One order argument: its reply item, and the order when it was placed."""
        refusal = rules.order_error(arg, self.sim.okx_instruments)
        if refusal is None and arg.get("clOrdId") and any(
                o["clOrdId"] == arg["clOrdId"] and o["state"] == "live"
                for o in self.sim.okx_orders.values()):
            refusal = rules.DUPLICATE_CL_ORD_ID  # unique among the user's pending orders
        if refusal is not None:
            return self.item(arg, *refusal), None
        instrument = self.sim.okx_instruments[arg["instIdCode"]]
        price = next((arg[p] for p in rules.PRICE_MEMBERS if p in arg), "")
        order = {"instType": instrument.inst_type, "instId": instrument.inst_id,
                 "instIdCode": arg["instIdCode"], "ordId": str(next(_order_ids)),
                 "clOrdId": arg.get("clOrdId", ""), "px": price, "sz": arg["sz"],
                 "side": arg["side"], "ordType": arg["ordType"], "tdMode": arg["tdMode"],
                 "posSide": arg.get("posSide", "net"), "state": "live", "uTime": str(now_ms())}
        self.sim.okx_orders[order["ordId"]] = order
        self.sim.okx_price_members[order["ordId"]] = next(
            (p for p in rules.PRICE_MEMBERS if p in arg), "px")
        return self.item(arg, "0", "Order placed", order["ordId"]), order

    def live_order(self, arg: dict) -> dict | None:
        """The pending order an operation names, on the instrument it names."""
        order = rules.find_order(self.sim.okx_orders, arg.get("ordId"), arg.get("clOrdId"))
        if order is None or order["state"] != "live" or order["instIdCode"] != arg["instIdCode"]:
            return None
        return order

    def cancel_one(self, arg: dict) -> tuple[dict, dict | None]:
        refusal = rules.cancel_error(arg, self.sim.okx_instruments)
        order = self.live_order(arg) if refusal is None else None
        if refusal is None and order is None:
            refusal = ("51400", "Order cancellation failed as the order has been filled, "
                       "canceled or does not exist")
        if refusal is not None:
            return self.item(arg, *refusal, arg.get("ordId", "")), None
        order["state"], order["uTime"] = "canceled", str(now_ms())
        return self.item(order, "0", "", order["ordId"]), order

    def amend_one(self, arg: dict) -> tuple[dict, dict | None]:
        """#order-book-trading-trade-ws-amend-order: a new size and/or price for a pending
        order; the reply item echoes reqId."""
        refusal = rules.amend_error(arg, self.sim.okx_instruments)
        order = self.live_order(arg) if refusal is None else None
        if order is not None:
            placed_with = self.sim.okx_price_members.get(order["ordId"], "px")
            refusal = rules.amend_price_error(arg, placed_with)
            order = None if refusal is not None else order
        if refusal is None and order is None:
            known = rules.find_order(self.sim.okx_orders, arg.get("ordId"), arg.get("clOrdId"))
            refusal = rules.NO_SUCH_ORDER if known is None else (
                "51503", "Order modification failed as the order has been filled, canceled or "
                "does not exist")  # text unconfirmed
        if refusal is not None:
            return dict(self.item(arg, *refusal, arg.get("ordId", "")),
                        reqId=arg.get("reqId", "")), None
        if "newSz" in arg:
            order["sz"] = arg["newSz"]
        price = next((arg[m] for m in ("newPx", "newPxUsd", "newPxVol") if m in arg), None)
        if price is not None:
            order["px"] = price
        return dict(self.item(order, "0", "", order["ordId"]), reqId=arg.get("reqId", "")), order

    async def single(self, request: dict, one) -> None:
        """An operation on one order: its reply, then the order's update."""
        if await self.refused_operation(request):
            return
        item, order = one((request.get("args") or [{}])[0])
        if order is None and request["op"] == "order" and item["sCode"] == "51001" and (
                self.sim.okx_51001_delay_s > 0 or self.sim.okx_51001_repeat_s is not None):
            self.sim.close_soon_task(self.refuse_relisted(self.reply(request, "1", "", [item])))
            return
        if order is None:  # a refusal is an operation's reply too, held back like any other
            await self.answer(self.reply(request, "1", "", [item]), [])
            return
        if request["op"] == "order" and self.sim.okx_lose_order_answer:
            self.sim.okx_lose_order_answer = False  # the order stands; the answer is lost
            self.conn.ws.transport.abort()
            return
        await self.answer(self.reply(request, "0", "", [item]), [order])

    async def refuse_relisted(self, reply: dict) -> None:
        """A 51001 refusal, as late (and as many times) as the simulator is told to give it."""
        try:
            if self.sim.okx_51001_delay_s > 0:
                await asyncio.sleep(self.sim.okx_51001_delay_s)
            await self.answer(reply, [])
            if self.sim.okx_51001_repeat_s is not None:
                await asyncio.sleep(self.sim.okx_51001_repeat_s)
                await self.answer(reply, [])
        except ConnectionClosed:
            pass

    async def answer(self, reply: dict, orders: list[dict]) -> None:
        """An operation's reply, then its orders' updates; while the simulator answers late,
        both wait for the answer to the connection's next login, subscribe or unsubscribe."""
        if self.sim.okx_odd_answer is not None:
            reply = ODD_ANSWERS[self.sim.okx_odd_answer](reply)
            self.sim.okx_odd_answer = None
        if self.sim.okx_late_op_answers:
            self.late_answers.append((reply, orders))
            return
        await self.send(reply)
        for order in orders:
            await self.sim.push_okx_order(order)

    async def send_late_answers(self) -> None:
        late, self.late_answers = self.late_answers, []
        for reply, orders in late:
            await self.send(reply)
            for order in orders:
                await self.sim.push_okx_order(order)

    async def order(self, request: dict) -> None:
        await self.single(request, self.place_one)

    async def cancel(self, request: dict) -> None:
        await self.single(request, self.cancel_one)

    async def amend(self, request: dict) -> None:
        await self.single(request, self.amend_one)

    async def batch(self, request: dict) -> None:
        """Up to 20 orders: code "0" all accepted, "1" none, "2" some, with each one's sCode."""
        if await self.refused_operation(request):
            return
        args = request.get("args")
        if not isinstance(args, list) or not 1 <= len(args) <= rules.MAX_BATCH or not all(
                isinstance(a, dict) for a in args):
            await self.send(self.reply(request, *rules.INVALID_ARGS, []))
            return
        one = {"batch-orders": self.place_one, "batch-cancel-orders": self.cancel_one,
               "batch-amend-orders": self.amend_one}[request["op"]]
        results = [one(arg) for arg in args]
        items = [item for item, _ in results]
        await self.answer(self.reply(request, rules.batch_code([i["sCode"] for i in items]), "",
                                     items), [order for _, order in results if order is not None])

    async def push_order(self, data: dict) -> None:
        """The "orders" channel carries each update (`data`, the same for every connection of
        the account) to the subscriptions it matches, under the argument they named."""
        for arg in self.private_args:
            if arg["channel"] != "orders" or arg["instType"] not in ("ANY", data["instType"]):
                continue
            if arg.get("instId") not in (None, data["instId"]):
                continue
            await self.send({"arg": dict(arg, uid="1"), "data": [data]})

    async def release_acks(self) -> None:
        held, self.held_acks = self.held_acks, []
        for ack in held:
            await self.send(ack)

    async def notice_upgrade(self) -> None:
        """#overview-websocket-notification: the notice, then the close about 60 s later."""
        await self.send(dict(rules.UPGRADE_NOTICE, connId=self.conn_id))
        if self.upgrade is None:
            self.upgrade = asyncio.ensure_future(self.close_for_upgrade())

    async def close_for_upgrade(self) -> None:
        await asyncio.sleep(self.sim.okx_limits.upgrade_close_s)
        try:
            await self.close_with(rules.CLOSE_UPGRADE)
        except ConnectionClosed:
            pass

    def close(self) -> None:
        self.watchdog.cancel()
        if self.upgrade is not None:
            self.upgrade.cancel()
        for key in self.feeds:
            self.sim.broadcasts.leave(self.path + key, self.conn.id)
