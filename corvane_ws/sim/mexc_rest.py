"""The simulator's MEXC REST API: listen keys and orders behind the exchange's signature check,
computed here with the simulator's own HMAC over the parameters exactly as they were sent, and
the exchange's rules for timestamps, orders and listen keys (sim/mexc_rules.py)."""

import hashlib
import hmac
import itertools
import json
import re
import secrets
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING
from urllib.parse import parse_qsl, urlsplit

from . import mexc_rules as rules
from .recorder import RestRequest

if TYPE_CHECKING:
    from .server import Simulator

_order_ids = itertools.count(1)
_ESCAPE = re.compile(r"%[0-9A-Fa-f]{2}")

Reply = tuple[int, object]


@dataclass
class ListenKey:
    expires: float  # self.sim.clock() at which it lapses unless extended
    renewals: int = 0


def signed_text(body: str) -> tuple[str, str | None]:
    """The parameter text without its signature pair, as MEXC signs it (#general-info: its
    percent-encoding in upper-case hex, whatever case was sent), and the signature sent."""
    pairs = body.split("&") if body else []
    kept = [p for p in pairs if not p.startswith("signature=")]
    sent = next((p.split("=", 1)[1] for p in pairs if p.startswith("signature=")), None)
    return _ESCAPE.sub(lambda m: m.group(0).upper(), "&".join(kept)), sent


class MexcRest:
    def __init__(self, sim: "Simulator") -> None:
        self.sim = sim

    def handle(self, request: RestRequest) -> Reply:
        if (request.method, request.path) == ("GET", "/api/v3/time"):  # #check-server-time
            served = self.sim.served_time  # a hostile endpoint's time, as given
            return 200, {"serverTime": int(served) if served is not None
                         else int(self.sim.exchange_time() * 1000)}
        creds = self.sim.mexc_credentials
        if request.header("X-MEXC-APIKEY") != creds.api_key:
            return rules.error(10072, "Api key info invalid")
        # #general-info: parameters in the query and the body, signed together; the query wins.
        query = urlsplit(request.target).query
        query_text, query_signature = signed_text(query)
        body_text, body_signature = signed_text(request.body)
        signature = query_signature or body_signature
        expected = hmac.new(creds.secret.encode(), (query_text + body_text).encode(),
                            hashlib.sha256).hexdigest()
        if signature is None or not hmac.compare_digest(signature, expected):
            return rules.error(700002, "Signature for this request is not valid.")
        params = dict(parse_qsl(request.body, keep_blank_values=True))
        params.update(parse_qsl(query, keep_blank_values=True))
        refusal = rules.timestamp_error(params, self.sim.exchange_time() * 1000)
        if refusal is not None:
            return refusal
        route = {("POST", "/api/v3/userDataStream"): self.create_key,
                 ("PUT", "/api/v3/userDataStream"): self.renew_key,
                 ("DELETE", "/api/v3/userDataStream"): self.close_key,
                 ("POST", "/api/v3/order"): self.place_order,
                 ("DELETE", "/api/v3/order"): self.cancel_order,
                 ("GET", "/api/v3/order"): self.query_order,
                 ("POST", "/api/v3/batchOrders"): self.batch_orders,
                 ("GET", "/api/v3/openOrders"): self.open_orders,
                 ("DELETE", "/api/v3/openOrders"): self.cancel_open_orders,
                 }.get((request.method, request.path))
        if route is None:
            return 404, {"code": 404, "msg": "Not Found"}
        return route(params)

    # ---- #websocket-user-data-streams: listen keys ----

    def valid_keys(self) -> dict[str, ListenKey]:
        now = self.sim.clock()
        for key in [k for k, v in self.sim.listen_keys.items() if v.expires <= now]:
            del self.sim.listen_keys[key]
        return self.sim.listen_keys

    def create_key(self, params: dict) -> Reply:
        if len(self.valid_keys()) >= self.sim.mexc_limits.max_keys:
            return rules.KEY_LIMIT_REACHED
        key = secrets.token_hex(32)
        self.sim.listen_keys[key] = ListenKey(self.sim.clock() + self.sim.mexc_limits.key_life_s)
        return 200, {"listenKey": key}

    def renew_key(self, params: dict) -> Reply:
        key = params.get("listenKey", "")
        record = self.valid_keys().get(key)
        if record is None:
            return rules.INVALID_KEY
        record.renewals += 1
        record.expires = self.sim.clock() + self.sim.mexc_limits.key_life_s
        return 200, {"listenKey": key}

    def close_key(self, params: dict) -> Reply:
        key = params.get("listenKey", "")
        if self.valid_keys().pop(key, None) is None:
            return rules.INVALID_KEY
        return 200, {"listenKey": key}

    # ---- #new-order and #cancel-order ----

    def place_order(self, params: dict) -> Reply:
        refusal = rules.order_error(params)
        if refusal is not None:
            return refusal
        return 200, self.new_order(params)

    def new_order(self, params: dict) -> dict:
        order_id = f"C02__{next(_order_ids)}"
        order = {"symbol": params["symbol"], "orderId": order_id,
                 "clientOrderId": params.get("newClientOrderId") or order_id,
                 "orderListId": -1, "price": params.get("price", ""),
                 "origQty": params.get("quantity", ""), "type": params["type"],
                 "side": params["side"], "transactTime": int(time.time() * 1000), "status": "NEW"}
        self.sim.mexc_orders[order["orderId"]] = order
        return {k: v for k, v in order.items() if k not in ("status", "clientOrderId")}

    def named_order(self, params: dict) -> dict | None:
        """The order named by orderId or origClientOrderId (of several with one client id, the
        newest), on the symbol given."""
        if params.get("orderId"):
            order = self.sim.mexc_orders.get(params["orderId"])
        else:
            order = next((o for o in reversed(self.sim.mexc_orders.values())
                          if o["clientOrderId"] == params["origClientOrderId"]), None)
        return order if order is not None and order["symbol"] == params["symbol"] else None

    def cancel_order(self, params: dict) -> Reply:
        refusal = rules.cancel_error(params)
        if refusal is not None:
            return refusal
        order = self.named_order(params)
        if order is None or order["status"] != "NEW":
            return rules.error(-2011, "Unknown order sent.")
        order["status"] = "CANCELED"
        return 200, dict(order, origClientOrderId=order["clientOrderId"])

    def query_order(self, params: dict) -> Reply:
        """#query-order: by orderId or origClientOrderId."""
        refusal = rules.cancel_error(params)  # the same parameters name the order
        if refusal is not None:
            return refusal
        order = self.named_order(params)
        if order is None:
            return rules.error(-2013, "Order does not exist.")  # code unconfirmed
        return 200, dict(order, time=order["transactTime"], updateTime=order["transactTime"],
                         isWorking=order["status"] == "NEW")

    # ---- #batch-orders, #current-open-orders, #cancel-all-open-orders-on-a-symbol ----

    def batch_orders(self, params: dict) -> Reply:
        """Up to 20 orders of one symbol; each answered in turn, as placed or with its refusal."""
        try:
            orders = json.loads(params.get("batchOrders", ""))
        except ValueError:
            return rules.mandatory("batchOrders")
        refusal = rules.batch_error(orders)
        if refusal is not None:
            return refusal
        results = []
        for order in orders:
            fields = {k: str(v) for k, v in order.items()}
            error = rules.order_error(fields)
            results.append(error[1] if error is not None else self.new_order(fields))
        return 200, results

    def open_orders(self, params: dict) -> Reply:
        refusal = rules.symbol_error(params)
        if refusal is not None:
            return refusal
        return 200, [dict(o, origClientOrderId=o["clientOrderId"])
                     for o in self.sim.mexc_orders.values()
                     if o["symbol"] == params["symbol"] and o["status"] == "NEW"]

    def cancel_open_orders(self, params: dict) -> Reply:
        """Every open order of the symbol (the documentation allows up to five, comma-separated)."""
        symbols = params.get("symbol", "").split(",")
        refusal = next((r for r in (rules.symbol_error({"symbol": s}) for s in symbols) if r),
                       None)
        if refusal is not None or len(symbols) > 5:
            return refusal or rules.error(700004, "Parameter 'symbol' is invalid.")
        cancelled = []
        for order in self.sim.mexc_orders.values():
            if order["symbol"] in symbols and order["status"] == "NEW":
                order["status"] = "CANCELED"
                cancelled.append(dict(order, origClientOrderId=order["clientOrderId"]))
        return 200, cancelled

    def changed_orders(self, request: RestRequest, status: int, body: object) -> list[dict]:
        """The orders an answered request placed or cancelled, for the private streams."""
        if status != 200 or request.method == "GET":
            return []
        if request.path == "/api/v3/order":
            return [self.sim.mexc_orders[body["orderId"]]]
        if request.path in ("/api/v3/batchOrders", "/api/v3/openOrders"):
            return [self.sim.mexc_orders[o["orderId"]] for o in body
                    if isinstance(o, dict) and "orderId" in o]
        return []
