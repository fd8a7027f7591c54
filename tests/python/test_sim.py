"""The simulator refuses what the exchanges refuse: a raw WebSocket (or HTTPS) client, not the
connectors, sends each form and gets the exchange's answer."""

import hashlib
import hmac
import http.client
import json
import os
import re
import ssl
import subprocess
import sys
import time
from decimal import Decimal
from urllib.parse import quote, urlencode

import pytest
from websockets.exceptions import ConnectionClosed
from websockets.sync.client import connect as ws_connect

from _corvane_ws_module import decode_mexc
from conftest import ROOT, make_sim
from corvane_ws.sim import MEXC_TEST, OKX_TEST
from corvane_ws.sim.mexc_rules import MexcLimits
from corvane_ws.sim.okx import okx_sign
from corvane_ws.sim.okx_rest import rest_sign
from corvane_ws.sim.okx_rules import OkxLimits

TIMEOUT = 30  # a bound, not a wait: a loaded machine may take seconds to answer a handshake


def tls():
    return ssl.create_default_context(cafile=os.environ["SSL_CERT_FILE"])


def raw_tls():
    # websockets' sync client reads on its own thread while the caller writes. Under TLS 1.3 the
    # server's session tickets arrive just as the request goes out, and that concurrent use of
    # one SSL object lost the request now and then (a handshake that timed out on a loaded
    # machine). TLS 1.2 sends nothing after its handshake.
    context = tls()
    context.maximum_version = ssl.TLSVersion.TLSv1_2
    return context


def raw(sim, path):
    return ws_connect(sim.sim.url(path), ssl=raw_tls(), open_timeout=TIMEOUT, close_timeout=TIMEOUT)


def ask(ws, request):
    ws.send(request if isinstance(request, str) else json.dumps(request))
    return json.loads(ws.recv(TIMEOUT))


def closed_with(ws):
    with pytest.raises(ConnectionClosed) as closed:
        while True:
            ws.recv(TIMEOUT)
    return closed.value.rcvd.code, closed.value.rcvd.reason


# ---- OKX ----

def okx_login(ws, timestamp=None):
    ts = str(int(time.time()) if timestamp is None else timestamp)
    return ask(ws, {"op": "login", "args": [{"apiKey": OKX_TEST.api_key, "timestamp": ts,
                                             "passphrase": OKX_TEST.passphrase,
                                             "sign": okx_sign(ts, OKX_TEST.secret)}]})


def order(ident="o1", **arg):
    base = {"instIdCode": 10459, "tdMode": "cash", "side": "buy", "ordType": "limit", "sz": "1",
            "px": "20000"}
    return {"id": ident, "op": "order", "args": [{k: v for k, v in {**base, **arg}.items()
                                                  if v is not None}]}


class TestOkxRules:
    @pytest.mark.parametrize("path, request_, code", [
        ("/ws/v5/public", {"op": "subscribe", "args": [{"channel": "candle1m", "instId": "BTC-USDT"}]}, "64001"),
        ("/ws/v5/public", {"op": "subscribe", "args": [{"channel": "orders", "instType": "ANY"}]}, "60018"),
        ("/ws/v5/business", {"op": "subscribe", "args": [{"channel": "tickers", "instId": "BTC-USDT"}]}, "64002"),
        ("/ws/v5/public", {"op": "subscribe", "args": [{"channel": "no-such", "instId": "X"}]}, "60018"),
        ("/ws/v5/public", order(), "60028"),
        ("/ws/v5/public", {"op": "subscribe", "args": [{"channel": "books-l2-tbt", "instId": "BTC-USDT"}]}, "64003"),
        ("/ws/v5/business", order(), "60028"),
        ("/ws/v5/private", {"op": "subscribe", "args": [{"channel": "orders"}]}, "60012"),
    ])
    def test_each_endpoint_serves_its_own(self, sim, path, request_, code):
        with raw(sim, path) as ws:
            reply = ask(ws, request_)
        assert (reply["event"], reply["code"]) == ("error", code)

    @pytest.mark.parametrize("path, login, request_, echoed", [
        ("/ws/v5/public", False, order("p1"), {"id": "p1", "code": "60028"}),
        ("/ws/v5/private", False, order("p2"), {"id": "p2", "code": "60011"}),
        ("/ws/v5/private", True, {"id": "p3", "op": "place"}, {"id": "p3", "code": "60012"}),
        ("/ws/v5/private", True, "{not json", {"code": "60012"}),
    ])
    def test_an_operation_refused_as_a_whole_gets_an_error_event_with_its_id(
            self, sim, path, login, request_, echoed):
        with raw(sim, path) as ws:
            if login:
                assert okx_login(ws)["code"] == "0"
            reply = ask(ws, request_)
        assert reply["event"] == "error"
        assert {k: reply.get(k) for k in ("id", "code")} == dict({"id": None}, **echoed)

    @pytest.mark.parametrize("request_, s_code, s_msg", [
        (order(instIdCode=None, instId="BTC-USDT"), "50014", "Parameter instIdCode can not be empty"),
        (order(instIdCode=99), "51001", "Instrument ID, Instrument ID code, or Spread ID doesn't exist."),
        (order(px=None, pxUsd="20000"), "51000", "Parameter pxUsd error"),
        (order(px=None), "50014", "Parameter px can not be empty"),
        (order(tdMode=""), "50014", "Parameter tdMode can not be empty"),
        (order(instId="ETH-USDT"), "0", "Order placed"),  # instId is ignored
        (order(instIdCode=30777, px=None, pxUsd="150"), "0", "Order placed"),  # an option
        (order(clOrdId="a-1"), "51000", "Parameter clOrdId error"),
        (order(posSide="up"), "51000", "Parameter posSide error"),
        (order(reduceOnly="true"), "51000", "Parameter reduceOnly error"),  # a JSON boolean
        (order(px="abc"), "51000", "Parameter px error"),
        (order(px="-1"), "51000", "Parameter px error"),
        (order(sz="0"), "51000", "Parameter sz error"),
    ])
    def test_order_operations(self, sim, request_, s_code, s_msg):
        with raw(sim, "/ws/v5/private") as ws:
            assert okx_login(ws)["code"] == "0"
            item = ask(ws, request_)["data"][0]
        assert (item["sCode"], item["sMsg"]) == (s_code, s_msg)

    def test_batches_and_amends(self, sim):
        def op(name, *args):
            return {"id": "b1", "op": name, "args": list(args)}
        good, bad_px = order()["args"][0], order(px="abc")["args"][0]
        with raw(sim, "/ws/v5/private") as ws:
            okx_login(ws)
            mixed = ask(ws, op("batch-orders", good, bad_px))
            assert (mixed["code"], [i["sCode"] for i in mixed["data"]]) == ("2", ["0", "51000"])
            assert ask(ws, op("batch-orders", *[good] * 21))["code"] == "60013"
            ord_id = mixed["data"][0]["ordId"]
            named = {"instIdCode": 10459, "ordId": ord_id}
            refused = [({**named}, "50014"),                        # neither newSz nor newPx
                       ({**named, "ordId": "1", "newSz": "2"}, "51603"),  # no such order
                       ({**named, "newPx": "abc"}, "51000")]
            for arg, s_code in refused:
                reply = ask(ws, op("amend-order", arg))
                assert (reply["code"], reply["data"][0]["sCode"]) == ("1", s_code)
            amended = ask(ws, op("batch-amend-orders", {**named, "newSz": "3", "reqId": "r1"},
                                 {**named, "ordId": "1", "newSz": "2"}))
            assert (amended["code"], amended["data"][0]["reqId"]) == ("2", "r1")
            cancelled = ask(ws, op("batch-cancel-orders", named, named))
            assert [i["sCode"] for i in cancelled["data"]] == ["0", "51400"]

    @pytest.mark.parametrize("placed_with, amended_with, s_code", [
        ("pxUsd", "newPxUsd", "0"), ("pxUsd", "newPx", "51000"), ("pxVol", "newPxUsd", "51000"),
        ("pxVol", "newPxVol", "0"), ("px", "newPx", "0"), ("px", "newPxVol", "51000"),
    ])
    def test_an_option_is_amended_in_the_price_form_it_was_placed_with(
            self, sim, placed_with, amended_with, s_code):
        with raw(sim, "/ws/v5/private") as ws:
            okx_login(ws)
            request_ = order(instIdCode=30777, px=None)
            request_["args"][0][placed_with] = "150"
            placed = ask(ws, request_)
            named = {"instIdCode": 30777, "ordId": placed["data"][0]["ordId"]}
            amended = ask(ws, {"id": "m1", "op": "amend-order",
                               "args": [{**named, amended_with: "160"}]})["data"][0]
        assert (amended["sCode"], amended["sMsg"] if s_code != "0" else "") == (
            s_code, f"Parameter {amended_with} error" if s_code != "0" else "")

    def test_time_dead_man_switch_and_skew(self, sim):
        def call(method, target, body=""):
            stamp = time.strftime("%Y-%m-%dT%H:%M:%S.000Z", time.gmtime())
            headers = {"OK-ACCESS-KEY": OKX_TEST.api_key, "OK-ACCESS-TIMESTAMP": stamp,
                       "OK-ACCESS-PASSPHRASE": OKX_TEST.passphrase,
                       "OK-ACCESS-SIGN": rest_sign(stamp, method, target, body, OKX_TEST.secret)}
            conn = http.client.HTTPSConnection("localhost", sim.sim.rest_port, context=tls(),
                                               timeout=TIMEOUT)
            try:
                conn.request(method, target, body, headers)
                reply = conn.getresponse()
                return reply.status, json.loads(reply.read())
            finally:
                conn.close()
        with raw(sim, "/ws/v5/private") as ws:
            okx_login(ws)
            placed = ask(ws, order())["data"][0]["ordId"]
        status, body = call("POST", "/api/v5/trade/cancel-all-after", '{"timeOut":"5"}')
        assert (status, body["code"]) == (400, "51000")  # 0, or 10 to 120 seconds
        assert call("POST", "/api/v5/trade/cancel-all-after", '{"timeOut":"10"}')[1]["code"] == "0"
        assert [o["ordId"] for o in call("GET", "/api/v5/trade/orders-pending")[1]["data"]] == [placed]
        sim.run(sim.sim.okx_dead_man_fires())  # the countdown lapses
        assert call("GET", "/api/v5/trade/orders-pending")[1]["data"] == []
        sim.sim.clock_skew_s = 40.0
        ts = int(call("GET", "/api/v5/public/time")[1]["data"][0]["ts"])
        assert abs(ts - (time.time() + 40) * 1000) < 5000
        assert call("GET", "/api/v5/trade/orders-pending")[1]["code"] == "50102"  # by our clock
        with raw(sim, "/ws/v5/private") as ws:
            assert okx_login(ws)["code"] == "60006"  # 40 s behind the exchange: expired

    @pytest.mark.parametrize("headers, status, code", [
        ({"OK-ACCESS-SIGN": "x"}, 401, "50113"),
        ({"OK-ACCESS-PASSPHRASE": "wrong"}, 401, "50105"),
        ({"OK-ACCESS-TIMESTAMP": "2020-12-08T09:08:57.715Z"}, 401, "50102"),
        ({}, 200, "51603"),  # signed as OKX wants it, for an order it does not have
    ])
    def test_signed_order_query(self, sim, headers, status, code):
        target = "/api/v5/trade/order?instId=BTC-USDT&clOrdId=b15"
        stamp = time.strftime("%Y-%m-%dT%H:%M:%S.000Z", time.gmtime())
        signed = {"OK-ACCESS-KEY": OKX_TEST.api_key, "OK-ACCESS-PASSPHRASE": OKX_TEST.passphrase,
                  "OK-ACCESS-TIMESTAMP": stamp,
                  "OK-ACCESS-SIGN": rest_sign(stamp, "GET", target, "", OKX_TEST.secret)}
        conn = http.client.HTTPSConnection("localhost", sim.sim.ws_port, context=tls(),
                                           timeout=TIMEOUT)  # served beside the WebSocket
        conn.request("GET", target, headers={**signed, **headers})
        reply = conn.getresponse()
        assert (reply.status, json.loads(reply.read())["code"]) == (status, code)

    @pytest.mark.parametrize("ident", ["req-1", "x" * 33, ""])
    def test_order_ids_are_up_to_32_letters_and_digits(self, sim, ident):
        with raw(sim, "/ws/v5/private") as ws:
            okx_login(ws)
            reply = ask(ws, order(ident))
        assert (reply["code"], reply["msg"], reply["data"]) == ("60013", "Invalid args", [])

    def test_updates_reach_the_subscriptions_they_match_under_their_own_argument(self, sim):
        with raw(sim, "/ws/v5/private") as ws:
            okx_login(ws)
            for arg in ({"channel": "orders", "instType": "SPOT", "instId": "ETH-USDT"},
                        {"channel": "orders", "instType": "ANY"}):
                assert ask(ws, {"op": "subscribe", "args": [arg]})["event"] == "subscribe"
            assert ask(ws, order())["code"] == "0"
            update = json.loads(ws.recv(TIMEOUT))
            assert update["arg"] == {"channel": "orders", "instType": "ANY", "uid": "1"}
            assert update["data"][0]["instId"] == "BTC-USDT"

    @pytest.mark.parametrize("timestamp, code, msg", [
        (int(time.time()) - 40, "60006", "Timestamp request expired"),
        ("soon", "60004", "Invalid timestamp"),
    ])
    def test_login_window(self, sim, timestamp, code, msg):
        with raw(sim, "/ws/v5/private") as ws:
            reply = okx_login(ws, timestamp)
            assert (reply["event"], reply["code"], reply["msg"]) == ("error", code, msg)
            assert okx_login(ws)["code"] == "0"  # the connection stays open after a refusal

    def test_limits_and_forced_closes(self, certificates):
        with make_sim(certificates, okx_limits=OkxLimits(idle_close_s=0.3)) as sim:
            with raw(sim, "/ws/v5/public") as ws:  # nothing subscribed, nothing pushed
                assert closed_with(ws) == (4004, "No data received in 30s")
        limits = OkxLimits(max_channels=2, requests_per_hour=3)
        with make_sim(certificates, okx_limits=limits) as sim:
            with raw(sim, "/ws/v5/public") as ws:
                huge = [{"channel": "tickers", "instId": "X" * 70000}]
                ws.send(json.dumps({"op": "subscribe", "args": huge}))
                assert closed_with(ws)[0] == 1009
            with raw(sim, "/ws/v5/public") as ws:
                for inst in ("A", "B", "C"):
                    ws.send(json.dumps({"op": "subscribe",
                                        "args": [{"channel": "tickers", "instId": inst}]}))
                assert closed_with(ws)[0] == 4009
            with raw(sim, "/ws/v5/public") as ws:
                replies = [ask(ws, {"op": "unsubscribe", "args": [{"channel": "tickers",
                                                                   "instId": "A"}]})
                           for _ in range(4)]
                assert [r.get("code") for r in replies] == [None, None, None, "60014"]

    def test_notice_before_a_service_upgrade(self, sim):
        with raw(sim, "/ws/v5/public") as ws:
            sim.okx_notice(sim.wait_connection(1))
            notice = json.loads(ws.recv(TIMEOUT))
        assert (notice["event"], notice["code"]) == ("notice", "64008")


# ---- MEXC ----

def mexc_ask(ws, method, *names):
    return ask(ws, {"method": method, "params": list(names)})


def blocked(*names):
    return {"id": 0, "code": 0,
            "msg": f"Not Subscribed successfully! [{','.join(names)}]  Reason： Blocked!"}


def rest(sim, method, path, params, secret=MEXC_TEST.secret, timestamp=None, query=""):
    """A signed request; `query` (signed too, ahead of the body) goes into the target."""
    params = dict(params, timestamp=str(timestamp or int(time.time() * 1000)))
    text = urlencode(sorted(params.items()))
    signature = hmac.new(secret.encode(), (query + text).encode(), hashlib.sha256).hexdigest()
    body = f"{text}&signature={signature}"
    conn = http.client.HTTPSConnection("localhost", sim.sim.rest_port, context=tls(),
                                       timeout=TIMEOUT)
    try:
        conn.request(method, f"{path}?{query}" if query else path, body,
                     {"X-MEXC-APIKEY": MEXC_TEST.api_key})
        reply = conn.getresponse()
        return reply.status, json.loads(reply.read()), reply.getheader("Retry-After")
    finally:
        conn.close()


def new_key(sim):
    status, body, _ = rest(sim, "POST", "/api/v3/userDataStream", {})
    assert status == 200, body
    return body["listenKey"]


class TestMexcRules:
    @pytest.mark.parametrize("name", [
        "spot@public.deals.v3.api@BTCUSDT",               # a retired JSON stream
        "spot@public.aggre.deals.v3.api.pb@100ms@BTCUSDT@",  # a trailing "@"
        "spot@public.aggre.deals.v3.api.pb@1s@BTCUSDT",   # an unknown interval
        "spot@public.kline.v3.api.pb@btcusdt@Min1",       # symbols are upper case
        "spot@private.orders.v3.api.pb",                  # private, without a listen key
    ])
    def test_only_live_protobuf_streams(self, sim, name):
        with raw(sim, "/ws") as ws:
            assert mexc_ask(ws, "SUBSCRIPTION", name) == blocked(name)

    def test_at_most_thirty_streams(self, sim):
        names = [f"spot@public.bookTicker.batch.v3.api.pb@T{i}USDT" for i in range(31)]
        with raw(sim, "/ws") as ws:
            ws.send(json.dumps({"method": "SUBSCRIPTION", "params": names}))
            assert json.loads(ws.recv(TIMEOUT))["msg"] == ",".join(names[:30])
            assert json.loads(ws.recv(TIMEOUT)) == blocked(names[30])

    def test_every_stream_sends_its_body(self, certificates):
        bodies = {"spot@public.aggre.deals.v3.api.pb@10ms@BTCUSDT": "publicAggreDeals",
                  "spot@public.kline.v3.api.pb@BTCUSDT@Min15": "publicSpotKline",
                  "spot@public.aggre.depth.v3.api.pb@100ms@BTCUSDT": "publicAggreDepths",
                  "spot@public.limit.depth.v3.api.pb@BTCUSDT@20": "publicLimitDepths",
                  "spot@public.aggre.bookTicker.v3.api.pb@100ms@BTCUSDT": "publicAggreBookTicker",
                  "spot@public.bookTicker.batch.v3.api.pb@BTCUSDT": "publicBookTickerBatch",
                  "spot@public.miniTicker.v3.api.pb@BTCUSDT@UTC+8": "publicMiniTicker",
                  "spot@public.miniTickers.v3.api.pb@UTC+5:30": "publicMiniTickers"}
        with make_sim(certificates, rate=200, feed_limit=1) as sim, raw(sim, "/ws") as ws:
            assert mexc_ask(ws, "SUBSCRIPTION", *bodies)["msg"] == ",".join(bodies)
            seen = {}
            while len(seen) < len(bodies):
                push = decode_mexc(ws.recv(TIMEOUT))
                seen[push["channel"]] = [k for k in push if k.startswith("public")]
                assert push[seen[push["channel"]][0]]  # the body decodes, and is not empty
        assert seen == {name: [body] for name, body in bodies.items()}

    def test_listen_keys(self, certificates):
        limits = MexcLimits(max_keys=2, connections_per_key=1, connection_life_s=0.5)
        with make_sim(certificates, mexc_limits=limits) as sim:
            now = [0.0]
            sim.sim.clock = lambda: now[0]
            first, second = new_key(sim), new_key(sim)
            assert rest(sim, "POST", "/api/v3/userDataStream", {})[0] == 400  # 60 keys at most
            assert rest(sim, "DELETE", "/api/v3/userDataStream", {"listenKey": second})[:2] == (
                200, {"listenKey": second})
            with raw(sim, f"/ws?listenKey={first}") as ws:
                with pytest.raises(Exception, match="403"):  # connections per key
                    raw(sim, f"/ws?listenKey={first}")
                assert closed_with(ws)[0] == 1000  # the connection's life is over
            key = new_key(sim)
            for _ in range(3):  # each PUT extends the key by an hour
                now[0] += 3000
                assert rest(sim, "PUT", "/api/v3/userDataStream", {"listenKey": key})[0] == 200
            now[0] += 3601  # an hour after the last extension: gone
            assert rest(sim, "PUT", "/api/v3/userDataStream", {"listenKey": key})[0] == 400
            with pytest.raises(Exception, match="401"):
                raw(sim, f"/ws?listenKey={key}")

    def test_private_updates_are_protobuf(self, sim):
        key = new_key(sim)
        with raw(sim, f"/ws?listenKey={key}") as ws:
            assert mexc_ask(ws, "SUBSCRIPTION", "spot@private.orders.v3.api.pb")["code"] == 0
            status, placed, _ = rest(sim, "POST", "/api/v3/order", {
                "symbol": "BTCUSDT", "side": "BUY", "type": "LIMIT", "quantity": "1", "price": "9"})
            assert status == 200
            push = decode_mexc(ws.recv(TIMEOUT))
        order = push["privateOrders"]
        assert (push["channel"], order["id"], order["status"], order["isMaker"]) == (
            "spot@private.orders.v3.api.pb", placed["orderId"], 1, False)

    @pytest.mark.parametrize("change, code", [
        ({"offset_ms": 2000}, 700003),   # ahead by more than a second
        ({"offset_ms": -6000}, 700003),  # older than recvWindow
        ({"params": {"recvWindow": "70000"}}, 700005),
        ({"params": {"price": ""}}, 700004),                       # a LIMIT order needs a price
        ({"secret": "wrong"}, 700002),
    ])
    def test_signed_requests(self, sim, change, code):
        params = {"symbol": "BTCUSDT", "side": "BUY", "type": "LIMIT", "quantity": "1",
                  "price": "9", **change.get("params", {})}
        status, body, _ = rest(sim, "POST", "/api/v3/order", params,
                               secret=change.get("secret", MEXC_TEST.secret),
                               timestamp=int(time.time() * 1000) + change.get("offset_ms", 0))
        assert (status, body["code"], type(body["msg"])) == (400, code, str)

    def test_the_query_wins_and_orders_are_found_by_either_id(self, sim):
        status, placed, _ = rest(sim, "POST", "/api/v3/order", {
            "symbol": "ETHUSDT", "side": "BUY", "type": "LIMIT", "quantity": "1", "price": "9",
            "newClientOrderId": "mine"}, query="symbol=BTCUSDT")
        assert (status, placed["symbol"]) == (200, "BTCUSDT")
        by_client = rest(sim, "GET", "/api/v3/order", {}, query="origClientOrderId=mine&symbol=BTCUSDT")
        by_id = rest(sim, "GET", "/api/v3/order", {"orderId": placed["orderId"], "symbol": "BTCUSDT"})
        assert by_client[1]["orderId"] == by_id[1]["orderId"] == placed["orderId"]
        assert rest(sim, "GET", "/api/v3/order", {"orderId": "no", "symbol": "BTCUSDT"})[:2] == (
            400, {"code": -2013, "msg": "Order does not exist."})

    def test_batches_open_orders_symbols_and_time(self, sim):
        def batch(*orders):
            return rest(sim, "POST", "/api/v3/batchOrders", {"batchOrders": json.dumps(orders)})[:2]
        one = {"symbol": "BTCUSDT", "side": "BUY", "type": "LIMIT", "quantity": "1", "price": "9"}
        status, results = batch(one, dict(one, price="-1"))
        assert status == 200 and results[0]["symbol"] == "BTCUSDT" and results[1]["code"] == 700004
        assert batch(*[one] * 21)[1]["code"] == 700004              # at most 20
        assert batch(one, dict(one, symbol="ETHUSDT"))[1]["code"] == 700004  # one symbol
        assert rest(sim, "POST", "/api/v3/order", dict(one, symbol="NOPEUSDT"))[:2] == (
            400, {"code": 10007, "msg": "symbol not support api"})
        open_ = rest(sim, "GET", "/api/v3/openOrders", {"symbol": "BTCUSDT"})[1]
        assert [o["orderId"] for o in open_] == [results[0]["orderId"]]
        cancelled = rest(sim, "DELETE", "/api/v3/openOrders", {"symbol": "BTCUSDT"})[1]
        assert [(o["orderId"], o["status"]) for o in cancelled] == [(results[0]["orderId"], "CANCELED")]
        assert rest(sim, "GET", "/api/v3/openOrders", {"symbol": "BTCUSDT"})[1] == []
        sim.sim.clock_skew_s = -5.0
        conn = http.client.HTTPSConnection("localhost", sim.sim.rest_port, context=tls(), timeout=TIMEOUT)
        try:
            conn.request("GET", "/api/v3/time")
            server = json.loads(conn.getresponse().read())["serverTime"]
        finally:
            conn.close()
        assert abs(server - (time.time() - 5) * 1000) < 2000
        assert rest(sim, "GET", "/api/v3/openOrders", {"symbol": "BTCUSDT"})[1]["code"] == 700003
        assert rest(sim, "GET", "/api/v3/openOrders", {"symbol": "BTCUSDT"}, timestamp=server)[0] == 200

    def test_a_batch_signed_over_lower_case_escapes_is_refused(self, sim):
        """MEXC signs a batch's percent-encoded JSON in upper-case hex, whatever the client
        sent: a signature over lower-case escapes does not match."""
        orders = json.dumps([{"symbol": "BTCUSDT", "side": "BUY", "type": "LIMIT",
                              "quantity": "1", "price": "9"}], separators=(",", ":"))
        upper = quote(orders, safe="-._~")
        lower = re.sub(r"%[0-9A-F]{2}", lambda m: m.group(0).lower(), upper)
        assert lower != upper
        for encoded, status in ((lower, 400), (upper, 200)):
            text = f"batchOrders={encoded}&timestamp={int(time.time() * 1000)}"
            signature = hmac.new(MEXC_TEST.secret.encode(), text.encode(),
                                 hashlib.sha256).hexdigest()
            conn = http.client.HTTPSConnection("localhost", sim.sim.rest_port, context=tls(),
                                               timeout=TIMEOUT)
            try:
                conn.request("POST", "/api/v3/batchOrders", f"{text}&signature={signature}",
                             {"X-MEXC-APIKEY": MEXC_TEST.api_key})
                reply = conn.getresponse()
                body = json.loads(reply.read())
            finally:
                conn.close()
            assert reply.status == status, body
        assert body[0]["symbol"] == "BTCUSDT"

    def test_unsubscription_takes_the_flat_form_only(self, sim):
        name = "spot@public.aggre.deals.v3.api.pb@100ms@BTCUSDT"
        with raw(sim, "/ws") as ws:
            mexc_ask(ws, "SUBSCRIPTION", name)
            ws.send(json.dumps({"method": "UNSUBSCRIPTION", "params": [[name]]}))
            assert json.loads(ws.recv(TIMEOUT))["msg"] == "Wrong request format"  # still streaming
            assert mexc_ask(ws, "UNSUBSCRIPTION", name)["msg"] == name

    def test_rate_limit(self, sim):
        sim.sim.add_rest_fault("rate-limit", "/api/v3/order")
        status, body, retry_after = rest(sim, "POST", "/api/v3/order", {})
        assert (status, retry_after) == (429, "2")


# ---- order books ----

def pb_fields(data):
    """A protobuf message's fields as (number, value) pairs: ints for varints, bytes else. The
    test's own reader, shared with neither the simulator nor the client."""
    out, i = [], 0
    while i < len(data):
        key, i = varint(data, i)
        if key & 7 == 0:
            value, i = varint(data, i)
        else:
            assert key & 7 == 2, key
            size, i = varint(data, i)
            value, i = data[i:i + size], i + size
        out.append((key >> 3, value))
    return out


def varint(data, i):
    value = shift = 0
    while True:
        byte = data[i]
        value |= (byte & 0x7F) << shift
        i, shift = i + 1, shift + 7
        if byte < 0x80:
            return value, i


def mexc_depth_push(frame):
    """(body number, asks, bids, fields 3 to 5 as text) of a MEXC depth push."""
    body_number, body = next((n, v) for n, v in pb_fields(frame) if n in (303, 313))
    sides = {1: [], 2: []}
    texts = {}
    for number, value in pb_fields(body):
        if number in sides:
            item = dict(pb_fields(value))
            sides[number].append([item[1].decode(), item[2].decode()])
        elif number in (3, 4, 5) and isinstance(value, bytes):
            texts[number] = value.decode()
    return body_number, sides[1], sides[2], texts


class BookReader:
    """A program's book kept as the exchanges document it: from a REST snapshot (or OKX's
    snapshot push), every push continuing the last (OKX prevSeqId = the last seqId, MEXC
    fromVersion = the last toVersion + 1); a push already covered is stale, any other break
    a gap that takes a new snapshot, the pushes it covers dropped."""

    def __init__(self, sim, exchange, ws, rest):
        self.sim, self.exchange, self.ws, self.rest = sim, exchange, ws, rest
        self.asks, self.bids = {}, {}
        self.seq = None       # the last applied seqId / version
        self.snapshot = None  # while aligning: the snapshot's sequence
        self.gaps = self.stale = self.resets = self.unchanged = 0

    def next_push(self):
        """(prev, seq, asks, bids): prev the sequence the push continues (MEXC: fromVersion - 1)."""
        message = self.ws.recv(TIMEOUT)
        if self.exchange == "mexc":
            _, asks, bids, texts = mexc_depth_push(message)
            return int(texts[4]) - 1, int(texts[5]), asks, bids
        item = json.loads(message)["data"][0]
        return item["prevSeqId"], item["seqId"], item["asks"], item["bids"]

    def fetch(self):
        status, body = self.rest()
        assert status == 200, body
        if self.exchange == "okx":
            body = body["data"][0]
        self.asks, self.bids = {}, {}
        self.apply(body["asks"], body["bids"])
        self.snapshot = body["seqId"] if self.exchange == "okx" else body["lastUpdateId"]

    def apply(self, asks, bids):
        for side, levels in ((self.asks, asks), (self.bids, bids)):
            for price, size, *_ in levels:
                if Decimal(size) == 0:
                    side.pop(price, None)
                else:
                    side[price] = size

    def take(self, prev, seq, asks, bids):
        if prev == -1:  # OKX's snapshot push
            self.asks, self.bids, self.seq, self.snapshot = {}, {}, seq, None
            self.apply(asks, bids)
        elif self.snapshot is not None:  # aligning on a snapshot
            if seq <= self.snapshot:
                return
            if prev > self.snapshot:
                self.gaps += 1
                self.fetch()
                return self.take(prev, seq, asks, bids)
            self.apply(asks, bids)
            self.seq, self.snapshot = seq, None
        elif prev == self.seq:
            self.unchanged += seq == prev and not asks and not bids
            self.resets += seq < prev
            self.apply(asks, bids)
            self.seq = seq
        elif prev < seq <= self.seq:
            self.stale += 1
        else:
            self.gaps += 1
            self.fetch()
            self.take(prev, seq, asks, bids)

    def start(self):
        """Reads the first push and aligns on a snapshot unless the push is one; whether it was."""
        first = self.next_push()
        if first[0] != -1:
            self.fetch()
        self.take(*first)
        return first[0] == -1

    def read_until(self, done, most=5000):
        for _ in range(most):
            if done():
                return
            self.take(*self.next_push())
        raise AssertionError(f"not done within the pushes read: {vars(self)}")

    def check(self, depth=400):
        """Reads on until the book is at the reference book's sequence: then they are equal."""
        reference = self.sim.control(
            "GET", f"/book?exchange={self.exchange}&inst={INSTRUMENT[self.exchange]}&depth={depth}")
        self.read_until(lambda: (self.seq if self.snapshot is None else self.snapshot)
                        == reference["seq"])
        assert self.levels() == {"asks": reference["asks"], "bids": reference["bids"]}
        self.read_until(lambda: self.snapshot is None)  # aligned: a reset may come next

    def levels(self):
        return {name: [[p, side[p]] for p in sorted(side, key=Decimal, reverse=name == "bids")]
                for name, side in (("asks", self.asks), ("bids", self.bids))}


INSTRUMENT = {"okx": "BTC-USDT", "mexc": "BTCUSDT"}


def book_rest(sim, target, conn=None):
    """GET a snapshot on the REST port (on `conn`, kept alive, when given)."""
    own = conn is None
    conn = conn or http.client.HTTPSConnection("localhost", sim.sim.rest_port, context=tls(),
                                               timeout=TIMEOUT)
    try:
        conn.request("GET", target)
        reply = conn.getresponse()
        return reply.status, json.loads(reply.read())
    finally:
        if own:
            conn.close()


def book_subscription(sim, exchange, ws, name, depth=400):
    """Subscribes `ws` to a book stream; the REST snapshot a reader of it takes."""
    if exchange == "okx":
        arg = {"channel": name, "instId": "BTC-USDT"}
        assert ask(ws, {"op": "subscribe", "args": [arg]})["event"] == "subscribe"
        return lambda: book_rest(sim, f"/api/v5/market/books?instId=BTC-USDT&sz={depth}")
    assert mexc_ask(ws, "SUBSCRIPTION", name)["code"] == 0
    return lambda: book_rest(sim, "/api/v3/depth?symbol=BTCUSDT&limit=5000")


class TestBooks:
    @pytest.mark.parametrize("exchange, name, snapshots", [
        ("okx", "books", "off"), ("okx", "books", "on"), ("okx", "books50-l2-tbt", "off"),
        ("mexc", "spot@public.aggre.depth.v3.api.pb@10ms@BTCUSDT", "off")])
    def test_a_book_kept_from_snapshots_and_pushes_stays_the_exchanges_through_faults(
            self, certificates, exchange, name, snapshots):
        """Drops and reorders are gaps (a new snapshot), a repeat is stale, an OKX sequence
        reset continues: after each, the reader's book equals the simulator's."""
        depth = 50 if name == "books50-l2-tbt" else 400
        faults = ["drop", "repeat", "reorder"] + (["reset"] if exchange == "okx" else [])
        seen = []
        with make_sim(certificates, rate=300) as sim:
            sim.control("POST", f"/okx?book-snapshots={snapshots}")
            with raw(sim, "/ws/v5/public" if exchange == "okx" else "/ws") as ws:
                if depth == 50:
                    assert okx_login(ws)["code"] == "0"  # the l2-tbt books need a login
                reader = BookReader(sim, exchange, ws,
                                    book_subscription(sim, exchange, ws, name, depth))
                assert reader.start() == (snapshots == "on")
                reader.check(depth)
                for fault in faults:
                    before = (reader.gaps, reader.stale, reader.resets)
                    if fault == "reset":
                        sim.control("POST", "/book-reset?inst=BTC-USDT")
                    else:
                        sim.control("POST", f"/book-fault?exchange={exchange}"
                                            f"&inst={INSTRUMENT[exchange]}&fault={fault}&after=3")
                    reader.read_until(lambda: (reader.gaps, reader.stale, reader.resets) != before)
                    reader.check(depth)
                    seen.append((reader.gaps - before[0], reader.stale - before[1],
                                 reader.resets - before[2]))
        assert seen == [(1, 0, 0), (0, 1, 0), (1, 0, 0), (0, 0, 1)][:len(faults)]

    def test_an_unchanged_okx_book_pushes_empty_sides_under_its_last_seq_id(self, certificates):
        with make_sim(certificates, rate=200, feed_limit=3) as sim:
            sim.control("POST", "/okx?book-quiet=0.2")
            with raw(sim, "/ws/v5/public") as ws:
                book_subscription(sim, "okx", ws, "books")
                pushes = [json.loads(ws.recv(TIMEOUT)) for _ in range(5)]
        items = [p["data"][0] for p in pushes]
        assert [p["action"] for p in pushes] == ["update"] * 5  # no snapshot by default
        assert items[0]["prevSeqId"] >= 0 and all(i["checksum"] == 0 for i in items)
        assert all(i["asks"] or i["bids"] for i in items[:3])
        for before, after in zip(items, items[1:]):
            assert after["prevSeqId"] == before["seqId"]
        assert [(i["asks"], i["bids"], i["seqId"]) for i in items[3:]] == [
            ([], [], items[2]["seqId"])] * 2

    @pytest.mark.parametrize("exchange, name, depth", [
        ("okx", "books5", 5), ("okx", "bbo-tbt", 1),
        ("mexc", "spot@public.limit.depth.v3.api.pb@BTCUSDT@10", 10)])
    def test_whole_book_pushes_are_the_top_of_the_book(self, certificates, exchange, name,
                                                       depth):
        with make_sim(certificates, rate=200, feed_limit=3) as sim:
            with raw(sim, "/ws/v5/public" if exchange == "okx" else "/ws") as ws:
                book_subscription(sim, exchange, ws, name)
                pushes = [ws.recv(TIMEOUT) for _ in range(3)]
            reference = sim.control("GET", f"/book?exchange={exchange}"
                                           f"&inst={INSTRUMENT[exchange]}&depth={depth}")
        if exchange == "okx":
            last = json.loads(pushes[-1])
            item = last["data"][0]
            assert "action" not in last and "prevSeqId" not in item and "checksum" not in item
            seq, asks, bids = item["seqId"], [a[:2] for a in item["asks"]], \
                [b[:2] for b in item["bids"]]
        else:
            versions = [int(mexc_depth_push(p)[3][4]) for p in pushes]
            assert versions == sorted(set(versions))  # rising: each push a newer book
            _, asks, bids, texts = mexc_depth_push(pushes[-1])
            seq = int(texts[4])
        assert (seq, asks, bids) == (reference["seq"], reference["asks"], reference["bids"])
        assert len(asks) == len(bids) == depth

    def test_snapshot_depths_and_rate_limits(self, sim):
        sim.sim.clock = lambda: now[0]  # the rate limits' windows, frozen
        now = [0.0]
        conn = http.client.HTTPSConnection("localhost", sim.sim.rest_port, context=tls(),
                                           timeout=TIMEOUT)
        try:
            okx = "/api/v5/market/books?instId=BTC-USDT"
            status, body = book_rest(sim, okx + "&sz=401", conn)  # 400 a side at most
            data = body["data"][0]
            reference = sim.control("GET", "/book?exchange=okx&inst=BTC-USDT")
            assert (status, data["seqId"], [a[:2] for a in data["asks"]],
                    [b[:2] for b in data["bids"]]) == (
                200, reference["seq"], reference["asks"], reference["bids"])
            assert len(data["asks"]) == 400 and {a[2] for a in data["asks"]} == {"0"}
            assert len(book_rest(sim, okx, conn)[1]["data"][0]["bids"]) == 1  # sz 1 by default
            assert {book_rest(sim, okx, conn)[0] for _ in range(38)} == {200}  # 40 in 2 s
            assert book_rest(sim, okx, conn) == (429, {"code": "50011", "msg": "Too Many Requests",
                                                       "data": []})
            now[0] += 2.0
            assert book_rest(sim, okx, conn)[0] == 200
            mexc = "/api/v3/depth?symbol=BTCUSDT"
            status, body = book_rest(sim, mexc, conn)
            assert (status, len(body["asks"]), len(body["bids"])) == (200, 100, 100)  # by default
            body = book_rest(sim, mexc + "&limit=5000", conn)[1]
            reference = sim.control("GET", "/book?exchange=mexc&inst=BTCUSDT")
            assert (body["lastUpdateId"], body["asks"], body["bids"]) == (
                reference["seq"], reference["asks"], reference["bids"])  # the whole book
            assert {book_rest(sim, mexc, conn)[0] for _ in range(498)} == {200}  # 500 in 10 s
            assert book_rest(sim, mexc, conn)[0] == 429
        finally:
            conn.close()


class TestUse:
    def test_a_reset_keeps_the_feeds(self, certificates):
        """After POST /reset a new subscription still gets the simulator's data."""
        with make_sim(certificates, rate=50) as sim:
            sim.control("POST", "/reset")
            with raw(sim, "/ws/v5/public") as ws:
                assert ask(ws, {"op": "subscribe", "args": [
                    {"channel": "tickers", "instId": "BTC-USDT"}]})["event"] == "subscribe"
                assert json.loads(ws.recv(TIMEOUT))["arg"]["channel"] == "tickers"

    def test_a_feed_started_again_goes_on_from_its_last_number(self, certificates):
        """Like an exchange's trade ids: a program that drops repeats by number keeps the new ones."""
        def numbers(sim):
            with raw(sim, "/ws/v5/public") as ws:
                assert ask(ws, {"op": "subscribe", "args": [
                    {"channel": "trades", "instId": "BTC-USDT"}]})["event"] == "subscribe"
                return [int(json.loads(ws.recv(TIMEOUT))["data"][0]["tradeId"]) for _ in range(3)]

        with make_sim(certificates, rate=200) as sim:
            first = numbers(sim)
            sim.wait_closed(sim.sim.connections[-1].id)
            again = numbers(sim)
        assert first == [1, 2, 3] and again[0] > first[-1]

    def test_two_simulators_in_one_process_are_both_trusted(self):
        from corvane_ws.sim import serve

        def handshake(running):
            with ws_connect(running.sim.url("/ws/v5/public"), ssl=raw_tls(), open_timeout=TIMEOUT,
                            close_timeout=TIMEOUT) as ws:
                assert ask(ws, {"op": "subscribe", "args": [
                    {"channel": "tickers", "instId": "BTC-USDT"}]})["event"] == "subscribe"

        before = os.environ["SSL_CERT_FILE"]
        with serve() as first:
            with serve() as second:
                handshake(first)
                handshake(second)
            handshake(first)
        assert os.environ["SSL_CERT_FILE"] == before

    def test_without_the_extra_the_import_names_it(self):
        blocked = "import sys; sys.modules['websockets'] = None; import corvane_ws.sim"
        done = subprocess.run([sys.executable, "-c", blocked], capture_output=True, text=True,
                              timeout=TIMEOUT, cwd=ROOT)
        assert done.returncode == 1
        assert 'pip install "corvane-ws[sim]"' in done.stderr.strip().splitlines()[-1]
