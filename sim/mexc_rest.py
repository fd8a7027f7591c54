"""The simulator's MEXC REST API: listen keys and orders behind the exchange's signature check,
computed here with the simulator's own HMAC over the parameters exactly as they were sent."""

import hashlib
import hmac
import itertools
import secrets
import time
from typing import TYPE_CHECKING
from urllib.parse import parse_qsl

from sim.recorder import RestRequest

if TYPE_CHECKING:
    from sim.server import Simulator

RECV_WINDOW_MS = 5000
_order_ids = itertools.count(1)

Reply = tuple[int, object]


def signed_text(body: str) -> tuple[str, str | None]:
    """The parameter text without its signature pair, and the signature sent."""
    pairs = body.split("&") if body else []
    kept = [p for p in pairs if not p.startswith("signature=")]
    sent = next((p.split("=", 1)[1] for p in pairs if p.startswith("signature=")), None)
    return "&".join(kept), sent


def error(code: int, msg: str) -> Reply:
    return 400, {"code": code, "msg": msg}


class MexcRest:
    def __init__(self, sim: "Simulator") -> None:
        self.sim = sim

    def handle(self, request: RestRequest) -> Reply:
        creds = self.sim.mexc_credentials
        if request.header("X-MEXC-APIKEY") != creds.api_key:
            return error(10072, "Api key info invalid")
        text, signature = signed_text(request.body)
        expected = hmac.new(creds.secret.encode(), text.encode(), hashlib.sha256).hexdigest()
        if signature is None or not hmac.compare_digest(signature, expected):
            return error(700002, "Signature for this request is not valid.")
        params = dict(parse_qsl(request.body, keep_blank_values=True))
        timestamp = params.get("timestamp", "")
        if not timestamp.isdigit() or abs(int(timestamp) - time.time() * 1000) > RECV_WINDOW_MS:
            return error(700003, "Timestamp for this request is outside of the recvWindow.")
        route = {("POST", "/api/v3/userDataStream"): self.create_key,
                 ("PUT", "/api/v3/userDataStream"): self.renew_key,
                 ("DELETE", "/api/v3/userDataStream"): self.close_key,
                 ("POST", "/api/v3/order"): self.place_order,
                 ("DELETE", "/api/v3/order"): self.cancel_order}.get((request.method, request.path))
        if route is None:
            return 404, {"code": 404, "msg": "Not Found"}
        return route(params)

    def create_key(self, params: dict) -> Reply:
        key = secrets.token_hex(32)
        self.sim.listen_keys[key] = 0
        return 200, {"listenKey": key}

    def renew_key(self, params: dict) -> Reply:
        key = params.get("listenKey", "")
        if key not in self.sim.listen_keys:
            return error(730001, "Invalid listenKey")
        self.sim.listen_keys[key] += 1
        return 200, {"listenKey": key}

    def close_key(self, params: dict) -> Reply:
        key = params.get("listenKey", "")
        if self.sim.listen_keys.pop(key, None) is None:
            return error(730001, "Invalid listenKey")
        return 200, {"listenKey": key}

    def place_order(self, params: dict) -> Reply:
        for name in ("symbol", "side", "type", "quantity"):
            if not params.get(name):
                return error(700004, f"Mandatory parameter '{name}' was not sent, was empty/null, "
                             "or malformed.")
        order = {"symbol": params["symbol"], "orderId": f"C02__{next(_order_ids)}",
                 "orderListId": -1, "price": params.get("price", ""),
                 "origQty": params["quantity"], "type": params["type"], "side": params["side"],
                 "transactTime": int(time.time() * 1000), "status": "NEW"}
        self.sim.mexc_orders[order["orderId"]] = order
        return 200, {k: v for k, v in order.items() if k != "status"}

    def cancel_order(self, params: dict) -> Reply:
        order = self.sim.mexc_orders.get(params.get("orderId", ""))
        if order is None or order["status"] != "NEW":
            return error(-2011, "Unknown order sent.")
        order["status"] = "CANCELED"
        return 200, dict(order)
