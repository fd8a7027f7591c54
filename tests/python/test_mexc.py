"""MexcConnector against the simulator: channel composition, replay, the ping line, binary
frames and the close report; the private stream and orders over REST (the simulator's REST host
set through rest_url)."""

import json
import ssl
import subprocess
import sys

import pytest

import _corvane_ws_module as m
from corvane_ws.sim import MEXC_TEST, mexc_protobuf as pb
from conftest import make_sim, private_mexc, read, read_until_end


DEALS = "spot@public.aggre.deals.v3.api.pb"
DEPTH = "spot@public.limit.depth.v3.api.pb"
PING_LINE = 'Пингуем {"method":"PING"}\n'


def connect(sim, connector, path="/ws"):
    before = len(sim.sim.connections)
    connector.connect(sim.sim.url(path))
    return sim.wait_connection(before + 1)


class TestPublicSubscriptions:
    def test_replay_then_ping_at_open(self, sim, capfd):
        c = m.MexcConnector()
        c.subscribe(host=DEALS, symbol="100ms", level="BTCUSDT")
        c.subscribe(host=DEPTH, symbol="ETHUSDT", level=5)
        assert capfd.readouterr().out == ""
        conn = connect(sim, c)
        ack, pong = (json.loads(x) for x in read(c, 2))
        assert ack == {"id": 0, "code": 0, "msg": f"{DEALS}@100ms@BTCUSDT,{DEPTH}@ETHUSDT@5"}
        assert pong == {"id": 0, "code": 0, "msg": "PONG"}
        assert sim.frames(conn) == [
            f'{{"method":"SUBSCRIPTION","params":["{DEALS}@100ms@BTCUSDT","{DEPTH}@ETHUSDT@5"]}}',
            '{"method":"PING"}',
        ]
        assert capfd.readouterr().out == PING_LINE

    def test_connected_subscribe_and_unsubscribe_forms(self, sim):
        c = m.MexcConnector()
        conn = connect(sim, c)
        read(c, 1)  # the PONG: open, and the ping went first
        c.subscribe(host="h", symbol="S")
        c.subscribe(host="h", symbol="S")
        c.unsubscribe(host="h", symbol="S", level=None)
        c.unsubscribe(host="never", symbol="X", level="1")
        read(c, 4)
        c.disconnect()
        assert sim.frames(conn)[1:] == [
            '{"method":"SUBSCRIPTION","params":["h@S"]}',
            '{"method":"SUBSCRIPTION","params":["h@S"]}',
            '{"method":"UNSUBSCRIPTION","params":["h@S"]}',
            '{"method":"UNSUBSCRIPTION","params":["never@X@1"]}',
        ]
        # Both records went with the one unsubscribe: nothing is replayed on the next open.
        second = connect(sim, c)
        read(c, 1)
        assert sim.frames(second) == ['{"method":"PING"}']


class TestStream:
    def test_protobuf_deals_arrive_as_bytes_in_order(self, certificates):
        with make_sim(certificates, rate=2000, feed_limit=200) as sim:
            c = m.MexcConnector()
            c.subscribe(host="spot@public.aggre.deals.v3.api.pb@100ms", symbol="BTCUSDT")
            connect(sim, c)
            messages = read(c, 2 + 200)
            frames = [x for x in messages if isinstance(x, bytes)]
            assert len(frames) == 200
            assert [m.decode_mexc(f)["createTime"] for f in frames] == list(range(1, 201))
            assert all(isinstance(x, str) for x in messages if not isinstance(x, bytes))

    def test_decode_mexc_knows_every_body_and_refuses_broken_frames(self):
        deal = pb.fields((1, "1.5"), (2, "2"), (3, 2), (4, 17))
        bodies = {
            301: (pb.fields((1, deal), (2, "e")), "publicDeals",
                  {"deals": [{"price": "1.5", "quantity": "2", "tradeType": 2, "time": 17}],
                   "eventType": "e"}),
            302: (pb.fields((2, pb.fields((1, "9"), (2, "1"))), (4, "5")), "publicIncreaseDepths",
                  {"bids": [{"price": "9", "quantity": "1"}], "version": "5"}),
            305: (pb.book_ticker(10.0), "publicBookTicker",
                  {"bidPrice": "9.90", "bidQuantity": "0.80", "askPrice": "10.10",
                   "askQuantity": "1.20"}),
            306: (pb.fields((4, 1), (5, True), (6, False), (9, "o1"), (12, -1)), "privateDeals",
                  {"tradeType": 1, "isMaker": True, "isSelfTrade": False, "orderId": "o1",
                   "time": -1}),
            312: (pb.fields((1, pb.fields((4, "3"))), (1, pb.fields((3, "x"))), (2, "t")),
                  "publicIncreaseDepthsBatch",
                  {"items": [{"version": "3"}, {"eventType": "x"}], "eventType": "t"}),
        }
        for number, (body, name, expected) in bodies.items():
            push = m.decode_mexc(pb.fields((1, "ch"), (4, "7"), (5, 3)) + pb.field(number, body))
            assert push == {"channel": "ch", "symbolId": "7", "createTime": 3, name: expected}
        assert m.decode_mexc(memoryview(pb.field(399, b"new")))[399] == b"new"  # kept as it came
        frame = pb.wrapper("spot@public.aggre.deals.v3.api.pb@100ms@BTCUSDT", 314,
                           pb.aggre_deals("spot@public.aggre.deals.v3.api.pb@100ms", 1, 1.0))
        for cut in range(1, len(frame)):  # every truncation: a ValueError or a shorter frame
            try:
                m.decode_mexc(frame[:cut])
            except ValueError:
                pass
        hostile = [b"\x0a\xff\xff\xff\xff\x0f",  # a length past the end
                   b"\x08" + b"\xff" * 11,  # a varint over ten bytes
                   b"\x0a\x02\xff\xfe",  # a string that is not UTF-8
                   pb.field(1, 5), b"\x0b", b"\x00\x00"]  # wrong and unknown wire types, field 0
        for data in hostile:
            with pytest.raises(ValueError):
                m.decode_mexc(data)

    def test_retired_json_streams_are_blocked(self, certificates):
        with make_sim(certificates, rate=1000, feed_limit=50) as sim:
            c = m.MexcConnector()
            c.subscribe(host="spot@public.deals.v3.api", symbol="BTCUSDT")  # a JSON stream
            connect(sim, c)
            assert read(c, 2) == [
                '{"id":0,"code":0,"msg":"Not Subscribed successfully! '
                '[spot@public.deals.v3.api@BTCUSDT]  Reason： Blocked!"}',
                '{"id":0,"code":0,"msg":"PONG"}']
            c.disconnect()
            assert read_until_end(c) == []  # and no data came

    def test_peer_close_is_reported_and_ends_the_reader(self, sim, capfd):
        c = m.MexcConnector()
        conn = connect(sim, c)
        read(c, 1)
        sim.close(conn)
        assert read_until_end(c) == []
        assert capfd.readouterr().out == PING_LINE + "Connection MEXC closed\n"


class TestPrivate:
    def test_orders_return_the_reply_or_raise(self, sim):
        c = private_mexc(sim)
        c.subscribe(channel="spot@private.orders.v3.api.pb")
        c.connect(sim.sim.url("/ws"))
        read(c, 2)  # the acknowledgement and a PONG: subscribed
        sim.sim.add_rest_fault("continue", "/api/v3/order")  # "100 Continue" is not the answer
        placed = json.loads(c.place_order(ord_id="a1", inst_id="BTCUSDT", side="BUY", sz="1",
                                          px="20000", tdMode="LIMIT", cl_ord_id="mine1"))
        order_id = placed["orderId"]
        assert placed["symbol"] == "BTCUSDT"
        update = read(c, 1)[0]
        assert order_id.encode() in update if isinstance(update, bytes) else order_id in update
        found = json.loads(c.query_order(inst_id="BTCUSDT", cl_ord_id="mine1"))
        assert (found["orderId"], found["status"]) == (order_id, "NEW")
        assert json.loads(c.cancel_order(msg_id="m1", cl_ord_id="mine1", inst_id="BTCUSDT"))[
            "status"] == "CANCELED"
        with pytest.raises(m.RequestRefused, match=r'^Request refused: HTTP 400: '
                           r'\{"code":-2011,"msg":"Unknown order sent."\}$') as refused:
            c.cancel_order(msg_id="m2", ord_id=order_id, inst_id="BTCUSDT")
        assert (refused.value.status, refused.value.retry_after) == (400, None)
        assert json.loads(refused.value.body)["code"] == -2011
        sim.sim.add_rest_fault("rate-limit", "/api/v3/order")
        with pytest.raises(m.RequestRefused) as limited:
            c.query_order(inst_id="BTCUSDT", ord_id=order_id)
        assert (limited.value.status, limited.value.retry_after) == (429, 2.0)
        sim.sim.add_rest_fault("drop", "/api/v3/order")
        with pytest.raises(m.RequestOutcomeUnknown, match="^Request outcome unknown: read: "):
            c.place_order(ord_id="a2", inst_id="BTCUSDT", side="BUY", sz="1", px="1",
                          tdMode="LIMIT")
        assert [r.target.split("?")[0] for r in sim.sim.recorder.requests][-4:] == [
            "/api/v3/order"] * 4  # the query went as a GET with its parameters in the query
        with pytest.raises(RuntimeError, match="^query_order needs a private connector"):
            m.MexcConnector().query_order(inst_id="BTCUSDT", ord_id=order_id)

    def test_a_2xx_that_is_no_order_is_not_taken_for_one(self, sim):
        c = private_mexc(sim)
        one = dict(inst_id="BTCUSDT", side="BUY", sz="1", px="9", tdMode="LIMIT")
        sim.sim.add_rest_fault("null", "/api/v3/order")
        with pytest.raises(m.RequestOutcomeUnknown, match="^Request outcome unknown: not the "
                           "documented answer: HTTP 200: null$"):
            c.place_order(ord_id="a", **one)
        sim.sim.add_rest_fault("code-in-200", "/api/v3/order")
        with pytest.raises(m.RequestRefused, match="^Request refused: HTTP 200: ") as refused:
            c.place_order(ord_id="b", **one)
        assert (refused.value.status, json.loads(refused.value.body)["code"]) == (200, 700004)
        sim.sim.add_rest_fault("array", "/api/v3/order")  # a list where one order is answered
        with pytest.raises(m.RequestOutcomeUnknown):
            c.query_order(inst_id="BTCUSDT", cl_ord_id="x1")

    def test_a_forked_child_gets_a_rest_thread_of_its_own(self, sim):
        """multiprocessing forks by default on Linux: the child's calls must not wait for a REST
        thread that did not come with it."""
        script = (
            "import os, sys, time, _corvane_ws_module as m\n"
            "c = m.MexcConnector('', *sys.argv[2:4])\n"
            "c.rest_url = sys.argv[1]\n"
            "def place(tag):\n"
            "    started = time.monotonic()\n"
            "    c.place_order(ord_id=tag, inst_id='BTCUSDT', side='BUY', sz='1', px='9',\n"
            "                  tdMode='LIMIT', cl_ord_id=tag)\n"
            "    return time.monotonic() - started\n"
            "place('parent1')\n"
            "pid = os.fork()\n"
            "if pid == 0:\n"
            "    try:\n"
            "        print('child', round(place('child1'), 1), flush=True)\n"
            "    except Exception as e:\n"
            "        print('child', repr(e).replace(' ', '_'), flush=True)\n"
            "    finally:\n"
            "        os._exit(0)\n"
            "os.waitpid(pid, 0)\n"
            "print('parent', round(place('parent2'), 1), flush=True)\n")
        done = subprocess.run(
            [sys.executable, "-c", script, f"https://localhost:{sim.sim.rest_port}",
             MEXC_TEST.api_key, MEXC_TEST.secret], capture_output=True, text=True, timeout=60)
        lines = done.stdout.split()
        assert lines[0::2] == ["child", "parent"], done.stdout + done.stderr
        assert all(t.replace(".", "").isdigit() and float(t) < 5 for t in lines[1::2]), done.stdout
        assert sorted(o["clientOrderId"] for o in sim.sim.mexc_orders.values()) == [
            "child1", "parent1", "parent2"]

    def test_a_listen_key_refused_raises_the_rest_error(self, sim):
        c = private_mexc(sim)
        sim.sim.add_rest_fault("status500", "/api/v3/userDataStream")
        with pytest.raises(m.RequestOutcomeUnknown, match=r'^Request outcome unknown: HTTP 500: '
                           r'\{"code":500,"msg":"internal error"\}$'):
            c.connect(sim.sim.url("/ws"))
        assert m.MexcConnector().rest_url == "https://api.mexc.com"
        with pytest.raises(ValueError, match=r"^rest_url must be https://host\[:port\]$"):
            c.rest_url = "http://localhost:1"

    def test_rest_speaks_tls_1_3(self, certificates):
        with make_sim(certificates, rest_min_tls=ssl.TLSVersion.TLSv1_3) as sim:
            c = private_mexc(sim)
            c.connect(sim.sim.url("/ws"))
            assert read(c, 1) == ['{"id":0,"code":0,"msg":"PONG"}']


class TestTraderCalls:
    def test_batch_open_orders_and_cancel_all(self, sim):
        c = private_mexc(sim)
        one = dict(inst_id="BTCUSDT", side="BUY", sz="1", px="9", tdMode="LIMIT")
        placed = json.loads(c.batch_orders(orders=[one, dict(one, px="-1", cl_ord_id="c2")]))
        assert [("orderId" in p, p.get("code")) for p in placed] == [(True, None), (False, 700004)]
        assert [o["orderId"] for o in json.loads(c.open_orders(inst_id="BTCUSDT"))] == [
            placed[0]["orderId"]]
        cancelled = json.loads(c.cancel_all_orders(inst_id="BTCUSDT"))
        assert [(o["orderId"], o["status"]) for o in cancelled] == [(placed[0]["orderId"], "CANCELED")]
        refused = [
            (m.RequestRefused, "700004", lambda: c.batch_orders(orders=[one, dict(one, inst_id="ETHUSDT")])),
            (m.RequestRefused, "10007", lambda: c.place_order(ord_id="a", **dict(one, inst_id="NOPEUSDT"))),
            (ValueError, "^orders must hold 1 to 20 orders$", lambda: c.batch_orders(orders=[one] * 21)),
            (TypeError, "^Unknown keyword: ord_id$", lambda: c.batch_orders(orders=[dict(one, ord_id="1")])),
            (TypeError, "^Unknown keyword: msg_id$", lambda: c.batch_orders(msg_id="1", orders=[one])),
            (ValueError, "^Missing required parameter: inst_id$", lambda: c.cancel_all_orders()),
        ]
        for error, text, call in refused:
            with pytest.raises(error, match=text):
                call()
        batch = next(r for r in sim.sim.recorder.requests if r.target == "/api/v3/batchOrders")
        sent = dict(x.split("=", 1) for x in batch.body.split("&"))
        assert sent["batchOrders"] == (  # percent-encoded JSON in upper case, signed as sent
            "%5B%7B%22price%22%3A%229%22%2C%22quantity%22%3A%221%22%2C%22side%22%3A%22BUY%22%2C"
            "%22symbol%22%3A%22BTCUSDT%22%2C%22type%22%3A%22LIMIT%22%7D%2C%7B%22newClientOrderId"
            "%22%3A%22c2%22%2C%22price%22%3A%22-1%22%2C%22quantity%22%3A%221%22%2C%22side%22%3A"
            "%22BUY%22%2C%22symbol%22%3A%22BTCUSDT%22%2C%22type%22%3A%22LIMIT%22%7D%5D")
        # GET with the parameters in the query, DELETE with them in the body
        assert [(r.method, r.target.split("?")[0], "&symbol=BTCUSDT&" in r.target + r.body) for r in
                sim.sim.recorder.requests if "openOrders" in r.target] == [
            ("GET", "/api/v3/openOrders", True), ("DELETE", "/api/v3/openOrders", True)]
        with pytest.raises(RuntimeError, match="^open_orders needs a private connector"):
            m.MexcConnector().open_orders(inst_id="BTCUSDT")

    def test_a_refused_timestamp_measures_the_clock_again_at_once(self, sim):
        c = private_mexc(sim)
        one = dict(inst_id="BTCUSDT", side="BUY", sz="1", px="9", tdMode="LIMIT")
        assert "orderId" in json.loads(c.place_order(ord_id="a", **one))  # measured: in step
        sim.sim.clock_skew_s = -5.0  # MEXC's clock steps back: this machine 5 s ahead
        with pytest.raises(m.RequestRefused, match="700003"):
            c.place_order(ord_id="b", **one)
        assert abs(c.stats()["clock_offset_ms"] + 5000) < 2000
        assert "orderId" in json.loads(c.place_order(ord_id="c", **one))

    @pytest.mark.parametrize("served", ["0", "-1", "1", "9223372036854775807",
                                        "-9223372036854775808"])
    def test_a_hostile_time_endpoint_is_not_believed(self, sim, served):
        sim.sim.served_time = served
        c = private_mexc(sim)
        assert "orderId" in json.loads(c.place_order(ord_id="a", inst_id="BTCUSDT", side="BUY",
                                                     sz="1", px="9", tdMode="LIMIT"))
        assert c.stats()["clock_offset_ms"] is None

    def test_a_skewed_clock_is_measured_and_signed_by(self, sim):
        sim.sim.clock_skew_s = -5.0  # this machine 5 s ahead: MEXC refuses 1 s ahead
        c = private_mexc(sim)
        c.subscribe(channel="spot@private.orders.v3.api.pb")
        connect(sim, c)  # its listen key was signed by MEXC's clock
        assert json.loads(read(c, 1)[0])["code"] == 0
        assert abs(c.stats()["clock_offset_ms"] + 5000) < 2000
        assert "orderId" in json.loads(c.place_order(ord_id="a", inst_id="BTCUSDT", side="BUY",
                                                     sz="1", px="9", tdMode="LIMIT"))
        assert m.MexcConnector().stats()["clock_offset_ms"] is None
