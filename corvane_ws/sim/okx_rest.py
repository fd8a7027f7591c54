"""The simulator's OKX REST API (#overview-rest-authentication): public instruments with their
instIdCode and the server time, and the signed order query GET /api/v5/trade/order, pending
orders GET /api/v5/trade/orders-pending and the dead-man switch POST
/api/v5/trade/cancel-all-after, with the exchange's checks of key, passphrase, timestamp and
signature. It answers on the REST port; its GETs also on the WebSocket port, where clients derive
OKX's REST host from the WebSocket URL."""

import base64
import hashlib
import hmac
import json
from datetime import datetime, timezone
from typing import TYPE_CHECKING
from urllib.parse import parse_qsl, urlsplit

from . import okx_rules as rules

if TYPE_CHECKING:
    from .server import Simulator

Reply = tuple[int, dict]
TIMESTAMP_WINDOW_S = 30.0  # as the WebSocket login; OKX's exact REST window is unconfirmed


def rest_sign(timestamp: str, method: str, target: str, body: str, secret: str) -> str:
    digest = hmac.new(secret.encode(), (timestamp + method + target + body).encode(),
                      hashlib.sha256).digest()
    return base64.b64encode(digest).decode()


def failure(status: int, code: str, msg: str) -> Reply:
    return status, {"code": code, "msg": msg, "data": []}


def instruments_reply(target: str, instruments: dict[int, rules.Instrument]) -> Reply:
    """GET /api/v5/public/instruments: the simulator's instruments with their instIdCode."""
    query = dict(parse_qsl(urlsplit(target).query))
    inst_type = query.get("instType")
    if inst_type not in rules.INST_TYPES - {"ANY"}:
        return failure(400, "51000", "Parameter instType error")
    if inst_type == "OPTION" and not (query.get("instFamily") or query.get("uly")):
        return failure(400, "50014", "Parameter instFamily can not be empty")
    data = [{"instType": i.inst_type, "instId": i.inst_id, "instIdCode": code, "state": "live"}
            for code, i in instruments.items()
            if i.inst_type == inst_type and query.get("instId") in (None, i.inst_id)]
    return 200, {"code": "0", "msg": "", "data": data}


class OkxRest:
    def __init__(self, sim: "Simulator") -> None:
        self.sim = sim

    def handle(self, method: str, target: str, header, body: str = "") -> Reply | None:
        """The answer to an OKX REST request, or None when the path is not OKX's."""
        path = target.split("?", 1)[0]
        if path == "/api/v5/public/instruments" and method == "GET":
            return instruments_reply(target, self.sim.okx_instruments)
        if path == "/api/v5/public/time" and method == "GET":
            # #public-data-rest-api-get-system-time; a hostile endpoint's time as given
            served = self.sim.served_time
            return 200, {"code": "0", "msg": "",
                         "data": [{"ts": served if served is not None
                                   else str(int(self.sim.exchange_time() * 1000))}]}
        signed = {("GET", "/api/v5/trade/order"): self.query_order,
                  ("GET", "/api/v5/trade/orders-pending"): self.pending_orders,
                  ("POST", "/api/v5/trade/cancel-all-after"): self.cancel_all_after}
        route = signed.get((method, path))
        if route is None:
            return None
        return self.signed(method, target, header, body) or route(target, body)

    def signed(self, method: str, target: str, header, body: str = "") -> Reply | None:
        """Why a signed request is refused (HTTP 401), or None."""
        creds = self.sim.okx_credentials
        if header("OK-ACCESS-KEY") != creds.api_key:
            return failure(401, "50111", "Invalid OK-ACCESS-KEY")
        if header("OK-ACCESS-PASSPHRASE") != creds.passphrase:
            return failure(401, "50105", "Invalid OK-ACCESS-PASSPHRASE")
        stamp = header("OK-ACCESS-TIMESTAMP") or ""
        try:
            sent = datetime.strptime(stamp, "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=timezone.utc)
        except ValueError:
            return failure(401, "50112", "Invalid OK-ACCESS-TIMESTAMP")
        now = datetime.fromtimestamp(self.sim.exchange_time(), timezone.utc)
        if abs((now - sent).total_seconds()) > TIMESTAMP_WINDOW_S:
            return failure(401, "50102", "Timestamp request expired")
        expected = rest_sign(stamp, method, target, body, creds.secret)
        if not hmac.compare_digest(header("OK-ACCESS-SIGN") or "", expected):
            return failure(401, "50113", "Invalid Sign")
        return None

    def query_order(self, target: str, body: str = "") -> Reply:
        """#order-book-trading-trade-get-order-details: by ordId, else by clOrdId."""
        query = dict(parse_qsl(urlsplit(target).query))
        if not query.get("instId"):
            return failure(400, "50014", "Parameter instId can not be empty")
        order = rules.find_order(self.sim.okx_orders, query.get("ordId"), query.get("clOrdId"))
        if order is None or order["instId"] != query["instId"]:
            return 200, {"code": "51603", "msg": "Order does not exist", "data": []}
        return 200, {"code": "0", "msg": "", "data": [order]}

    def pending_orders(self, target: str, body: str = "") -> Reply:
        """#order-book-trading-trade-get-order-list: the live orders, newest first, narrowed by
        instType and instId."""
        query = dict(parse_qsl(urlsplit(target).query))
        if "instType" in query and query["instType"] not in rules.INST_TYPES - {"ANY"}:
            return failure(400, "51000", "Parameter instType error")
        data = [o for o in reversed(self.sim.okx_orders.values()) if o["state"] == "live"
                and query.get("instType") in (None, o["instType"])
                and query.get("instId") in (None, o["instId"])]
        return 200, {"code": "0", "msg": "", "data": data}

    def cancel_all_after(self, target: str, body: str) -> Reply:
        """#order-book-trading-trade-post-cancel-all-after: each call restarts the countdown;
        "0" stops it. When it lapses every pending order is cancelled."""
        try:
            request = json.loads(body)
        except ValueError:
            return failure(400, "50002", "JSON syntax error")  # code unconfirmed here
        refusal = rules.cancel_all_after_error(request)
        if refusal is not None:
            return failure(400, *refusal)
        trigger = self.sim.arm_okx_dead_man(int(request["timeOut"]))
        return 200, {"code": "0", "msg": "", "data": [{"triggerTime": trigger, "tag": "",
                                                       "ts": str(int(self.sim.exchange_time()
                                                                     * 1000))}]}
