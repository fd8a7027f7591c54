"""OkxConnector against the simulator's OKX endpoint: subscriptions and their replay, the login
and its examination, orders and cancels, exactly as they go over the wire."""

import json
import subprocess
import sys
import time

import pytest

import _corvane_ws_module as m
from conftest import READ_TIMEOUT, make_sim, open_connection, read, read_until_end
from corvane_ws.sim import OKX_TEST
from corvane_ws.sim.okx import okx_sign
from corvane_ws.sim.okx_rules import relist

PUBLIC = "/ws/v5/public"
PRIVATE = "/ws/v5/private"
BTC_USDT = 10459  # its instIdCode at the simulator


def private_connector(secret=OKX_TEST.secret):
    return m.OkxConnector(OKX_TEST.api_key, secret, OKX_TEST.passphrase)


def connect(sim, connector, path):
    before = len(sim.sim.connections)
    connector.connect(sim.sim.url(path))
    return sim.wait_connection(before + 1)


def ack(channel, inst_id=None):
    arg = {"channel": channel} if inst_id is None else {"channel": channel, "instId": inst_id}
    return {"event": "subscribe", "arg": arg}


def without_conn_id(text):
    value = json.loads(text)
    value.pop("connId", None)
    return value


class TestPublicSubscriptions:
    def test_registry_replayed_once_in_order_with_duplicates(self, sim, capfd):
        c = m.OkxConnector()
        c.subscribe(channel="tickers", inst_id="BTC-USDT")
        c.subscribe(inst_id="ETH-USDT", channel="trades")
        c.subscribe(channel="tickers", inst_id="BTC-USDT")
        assert capfd.readouterr().out == (
            "Channel: tickers, inst_id: BTC-USDT\n"
            "Channel: tickers, inst_id: BTC-USDT\nChannel: trades, inst_id: ETH-USDT\n"
            "Channel: tickers, inst_id: BTC-USDT\nChannel: trades, inst_id: ETH-USDT\n"
            "Channel: tickers, inst_id: BTC-USDT\n"
        )
        conn = connect(sim, c, PUBLIC)
        replies = [without_conn_id(x) for x in read(c, 3)]
        assert replies == [ack("tickers", "BTC-USDT"), ack("trades", "ETH-USDT"), ack("tickers", "BTC-USDT")]
        assert sim.frames(conn) == [
            '{"args":[{"channel":"tickers","instId":"BTC-USDT"},{"channel":"trades","instId":"ETH-USDT"},'
            '{"channel":"tickers","instId":"BTC-USDT"}],"op":"subscribe"}'
        ]

    def test_empty_registry_sends_nothing_at_open(self, sim):
        c = m.OkxConnector()
        conn = open_connection(sim, c, PUBLIC)
        c.subscribe(channel="books5", inst_id="BTC-USDT")
        assert without_conn_id(read(c, 1)[0]) == ack("books5", "BTC-USDT")
        assert len(sim.frames(conn)) == 1

    def test_connected_subscribe_and_unsubscribe(self, sim, capfd):
        c = m.OkxConnector()
        c.subscribe(channel="tickers", inst_id="A")
        conn = connect(sim, c, PUBLIC)
        read(c, 1)  # the replay's ack: the connection is open from here on
        c.subscribe(channel="tickers", inst_id="A")
        c.subscribe(channel="trades", inst_id="B")
        capfd.readouterr()
        c.unsubscribe(channel="tickers", inst_id="A")
        c.unsubscribe(channel="never", inst_id="subscribed")
        assert capfd.readouterr().out == ""
        read(c, 4)
        c.subscribe(channel="bbo-tbt", inst_id="C")
        assert capfd.readouterr().out == "Channel: trades, inst_id: B\nChannel: bbo-tbt, inst_id: C\n"
        assert sim.wait_frames(conn, 6)[1:] == [
            '{"args":[{"channel":"tickers","instId":"A"}],"op":"subscribe"}',
            '{"args":[{"channel":"trades","instId":"B"}],"op":"subscribe"}',
            '{"args":[{"channel":"tickers","instId":"A"}],"op":"unsubscribe"}',
            '{"args":[{"channel":"never","instId":"subscribed"}],"op":"unsubscribe"}',
            '{"args":[{"channel":"bbo-tbt","instId":"C"}],"op":"subscribe"}',
        ]

    def test_market_data_streams_in_sequence(self, certificates):
        with make_sim(certificates, rate=2000, feed_limit=300) as sim:
            c = m.OkxConnector()
            c.subscribe(channel="tickers", inst_id="BTC-USDT")
            c.subscribe(channel="trades", inst_id="BTC-USDT")
            connect(sim, c, PUBLIC)
            messages = [json.loads(x) for x in read(c, 2 + 600)]
            for channel in ("tickers", "trades"):
                seqs = [x["data"][0]["seqId"] for x in messages if x.get("arg", {}).get("channel") == channel
                        and "data" in x]
                assert seqs == list(range(1, 301))

    def test_reconnect_replays_again(self, sim):
        c = m.OkxConnector()
        c.subscribe(channel="tickers", inst_id="BTC-USDT")
        first = connect(sim, c, PUBLIC)
        read(c, 1)
        c.disconnect()
        second = connect(sim, c, PUBLIC)
        read(c, 1)
        assert sim.frames(first) == sim.frames(second)


class TestLogin:
    def login_frame(self, sim, conn):
        frame = sim.wait_frames(conn, 1)[0]
        arg = json.loads(frame)["args"][0]
        assert frame == (
            f'{{"args":[{{"apiKey":"{OKX_TEST.api_key}","passphrase":"{OKX_TEST.passphrase}",'
            f'"sign":"{arg["sign"]}","timestamp":"{arg["timestamp"]}"}}],"op":"login"}}'
        )
        assert arg["timestamp"].isdigit() and len(arg["timestamp"]) == 10
        return arg

    def test_login_accepted_then_private_channels_replayed(self, sim, capfd):
        c = private_connector()
        c.subscribe(channel="orders", inst_type="ANY")
        c.subscribe(channel="account")
        conn = connect(sim, c, PRIVATE)
        arg = self.login_frame(sim, conn)
        assert arg["sign"] == okx_sign(arg["timestamp"], OKX_TEST.secret)
        reply, *acks = read(c, 3)
        assert reply.startswith('{"event":"login","code":"0","msg":"","connId":"')  # as received
        assert [without_conn_id(x)["arg"] for x in acks] == [
            {"channel": "orders", "instType": "ANY"}, {"channel": "account"}]
        assert sim.frames(conn)[1] == ('{"args":[{"channel":"orders","instType":"ANY"},'
                                       '{"channel":"account"}],"op":"subscribe"}')
        out = capfd.readouterr().out
        conn_id = json.loads(reply)["connId"]
        assert out.endswith(f'{{"code":"0","connId":"{conn_id}","event":"login","msg":""}}\n')

    def test_rejected_login_is_printed_and_queued_and_nothing_replayed(self, sim, capfd):
        c = private_connector(secret="wrong")
        c.subscribe(channel="orders")
        conn = connect(sim, c, PRIVATE)
        reply = read(c, 1)[0]
        assert without_conn_id(reply) == {"event": "error", "code": "60007", "msg": "Invalid sign"}
        assert f'{{"code":"60007","connId":"{json.loads(reply)["connId"]}","event":"error","msg":"Invalid sign"}}\n' \
            in capfd.readouterr().out
        c.place_order(ord_id="1", inst_id="BTC-USDT", side="buy", px="1", sz="1", tdMode="cash")
        assert json.loads(read(c, 1)[0])["code"] == "60011"  # still connected, not logged in
        assert len(sim.frames(conn)) == 2

    def test_login_without_channels_keeps_the_session(self, sim):
        c = private_connector()
        conn = connect(sim, c, PRIVATE)
        assert json.loads(read(c, 1)[0])["code"] == "0"
        c.subscribe(channel="orders")  # sent as it is, and refused: OKX requires instType
        assert json.loads(read(c, 1)[0])["code"] == "60012"
        c.subscribe(channel="orders", inst_type="ANY")
        assert without_conn_id(read(c, 1)[0])["event"] == "subscribe"
        assert sim.frames(conn)[1:] == ['{"args":[{"channel":"orders"}],"op":"subscribe"}',
                                        '{"args":[{"channel":"orders","instType":"ANY"}],"op":"subscribe"}']

    @pytest.mark.parametrize("ended_by", ["peer", "disconnect"])
    def test_first_message_of_every_connection_is_examined(self, sim, ended_by):
        c = private_connector()
        c.subscribe(channel="orders")
        first = connect(sim, c, PRIVATE)
        read(c, 2)
        if ended_by == "peer":
            sim.close(first)
            read_until_end(c)
        else:
            c.disconnect()
        second = connect(sim, c, PRIVATE)
        self.login_frame(sim, second)
        read(c, 2)
        assert sim.frames(second)[1] == '{"args":[{"channel":"orders"}],"op":"subscribe"}'

    def test_the_login_reply_is_the_first_login_or_error_event(self, sim, capfd):
        c = private_connector()
        c.subscribe(channel="orders", inst_type="ANY")
        conn = connect(sim, c, "/raw")
        sim.wait_frames(conn, 1)
        notice = '{"event":"notice","code":"64008","msg":"The connection will soon be closed.","connId":"x"}'
        sim.send_many(conn, [notice, '{"event":"login","code":"0","msg":"","connId":"x"}'])
        assert read(c, 2)[0] == notice  # queued as usual
        assert sim.wait_frames(conn, 2)[1] == (
            '{"args":[{"channel":"orders","instType":"ANY"}],"op":"subscribe"}')
        assert capfd.readouterr().out.endswith('{"code":"0","connId":"x","event":"login","msg":""}\n')

    def test_non_json_first_message_ends_the_session(self, sim, capfd):
        c = private_connector()
        conn = connect(sim, c, "/raw")
        sim.wait_frames(conn, 1)
        sim.send(conn, "definitely { not json")
        assert read_until_end(c) == []
        captured = capfd.readouterr()
        assert captured.out == ""
        assert "WebSocket error: [json.exception.parse_error.101]" in captured.err

    def test_a_deeply_nested_reply_is_refused_like_one_that_is_not_json(self, sim):
        script = (
            "import os, sys, _corvane_ws_module as m\n"
            "c = m.OkxConnector('k', 's', 'p')\n"
            "c.connect(sys.argv[1])\n"
            "try:\n"
            "    next(c.wsrun())\n"
            "except RuntimeError as e:\n"
            "    print(e)\n")
        child = subprocess.Popen([sys.executable, "-c", script, sim.sim.url("/raw")],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        conn = sim.wait_connection(1)
        sim.wait_frames(conn, 1)
        sim.send(conn, "[" * 1_000_000 + "]" * 1_000_000)
        out, err = child.communicate(timeout=30)
        assert (child.returncode, out) == (0, "No more messages\n"), err
        assert "WebSocket error: JSON nested more than 256 levels deep\n" in err

    def test_no_credential_byte_appears_in_an_error(self, sim, capfd):
        c = m.OkxConnector(b"key", b"secret", b"pass\xfe\xff")
        connect(sim, c, "/raw")
        assert read_until_end(c) == []
        err = capfd.readouterr().err
        assert "WebSocket error: the API credentials are not valid UTF-8\n" in err
        assert "0xFE" not in err and "0xFF" not in err

    def test_private_channel_arguments(self, sim, capfd):
        c = private_connector()
        c.subscribe(channel="orders", inst_type="SPOT", inst_id="BTC-USDT")
        c.subscribe(channel="positions", inst_family="BTC-USD", inst_type="SWAP")
        c.subscribe(channel="orders", inst_type="ANY")
        assert capfd.readouterr().out.endswith(
            "Channel: orders, inst_type: SPOT, inst_id: BTC-USDT\n"
            "Channel: positions, inst_type: SWAP, inst_family: BTC-USD\n"
            "Channel: orders, inst_type: ANY\n")
        conn = connect(sim, c, "/raw")
        sim.wait_frames(conn, 1)
        sim.send(conn, '{"event":"login","code":"0","msg":"","connId":"x"}')
        sim.wait_frames(conn, 2)  # the replay
        c.unsubscribe(channel="orders", inst_type="SPOT")  # matches no record: all members count
        assert sim.wait_frames(conn, 3)[1:] == [
            '{"args":[{"channel":"orders","instId":"BTC-USDT","instType":"SPOT"},'
            '{"channel":"positions","instFamily":"BTC-USD","instType":"SWAP"},'
            '{"channel":"orders","instType":"ANY"}],"op":"subscribe"}',
            '{"args":[{"channel":"orders","instType":"SPOT"}],"op":"unsubscribe"}']
        c.unsubscribe(channel="orders", inst_type="SPOT", inst_id="BTC-USDT")
        c.disconnect()
        second = connect(sim, c, "/raw")
        sim.wait_frames(second, 1)
        sim.send(second, '{"event":"login","code":"0","msg":"","connId":"y"}')
        assert sim.wait_frames(second, 2)[1] == (
            '{"args":[{"channel":"positions","instFamily":"BTC-USD","instType":"SWAP"},'
            '{"channel":"orders","instType":"ANY"}],"op":"subscribe"}')

    def test_public_connector_never_parses(self, sim, capfd):
        c = m.OkxConnector()
        conn = open_connection(sim, c, "/raw")
        sim.send(conn, "not json {")
        assert read(c, 1) == ["not json {"]
        assert capfd.readouterr().out == ""


class TestOrders:
    def test_order_and_cancel_on_the_wire(self, sim):
        c = m.OkxConnector()
        conn = open_connection(sim, c, "/raw")
        c.place_order(ord_id=7, inst_id="BTC-USD-240628-60000-C", side="buy", px=1.5, sz=3,
                      inst_id_code=1)
        c.place_order(ord_id="o2", inst_id="X", side="sell", px=1e-7, sz="0.1", inst_id_code=2,
                      tdMode="cash", ccy="USDT", ordType="", cl_ord_id="b15", pos_side="long",
                      tgt_ccy="base_ccy", reduce_only=True)
        c.cancel_order(cl_ord_id="b15", inst_id="X", msg_id="m9", inst_id_code=2)
        for bad, error in (({"ord_type": "limit"}, TypeError), ({"cl_ord_id": "a-b"}, ValueError),
                           ({"reduce_only": "yes"}, ValueError)):
            with pytest.raises(error, match="^(Unknown keyword: ord_type|cl_ord_id must be 1 to 32 "
                               "letters and digits|reduce_only must be a bool)$"):
                c.place_order(ord_id="o3", inst_id="X", side="buy", px="1", sz="1", **bad)
        with pytest.raises(ValueError, match="^Missing required parameter: ord_id$"):
            c.cancel_order(msg_id="m1", inst_id="X", inst_id_code=2)
        assert sim.wait_frames(conn, 3) == [
            # an option's price goes as pxUsd, every other instrument's as px
            '{"args":[{"ccy":"","instId":"BTC-USD-240628-60000-C","instIdCode":1,"ordType":"market",'
            '"pxUsd":"1.500000","side":"buy","sz":"3","tdMode":""}],"id":"7","op":"order"}',
            '{"args":[{"ccy":"USDT","clOrdId":"b15","instId":"X","instIdCode":2,"ordType":"",'
            '"posSide":"long","px":"0.0000001","reduceOnly":true,"side":"sell","sz":"0.1",'
            '"tdMode":"cash","tgtCcy":"base_ccy"}],"id":"o2","op":"order"}',
            '{"args":[{"clOrdId":"b15","instId":"X","instIdCode":2}],"id":"m9","op":"cancel-order"}',
        ]
        c.disconnect()
        assert len(sim.frames(conn)) == 3

    def test_instrument_code_and_price_member(self, sim):
        c = m.OkxConnector()
        conn = open_connection(sim, c, "/raw")
        c.place_order(ord_id="o1", inst_id="BTC-USDT", side="buy", px="20000.5", sz="0.01",
                      tdMode="cash", ordType="limit")  # its code looked up over REST, once
        c.cancel_order(msg_id="m1", ord_id="42", inst_id="BTC-USDT")
        c.place_order(ord_id="o2", inst_id="X", side="buy", px="1", sz="1", px_field="pxVol",
                      inst_id_code="18446744073709551615")
        for bad in ({"inst_id_code": "12a"}, {"inst_id_code": -1}, {"inst_id_code": 1.5},
                    {"inst_id_code": "18446744073709551616"}, {"px_field": "price"}):
            with pytest.raises(ValueError, match="^(inst_id_code must be an int or a str of "
                               "decimal digits|px_field must be px, pxUsd or pxVol)$"):
                c.place_order(ord_id="o3", inst_id="X", side="buy", px="1", sz="1", **bad)
        # OKX's list is its answer: asking again gets the same, so it is a refusal
        with pytest.raises(m.RequestRefused, match="^Request not sent: no instrument code for "
                           "DOGE-USDT: OKX lists no such instrument$") as unlisted:
            c.place_order(ord_id="o4", inst_id="DOGE-USDT", side="buy", px="1", sz="1")
        assert (unlisted.value.status, unlisted.value.body) == (200, "")
        assert not isinstance(unlisted.value, m.RequestNotSent)
        assert sim.wait_frames(conn, 3) == [
            '{"args":[{"ccy":"","instId":"BTC-USDT","instIdCode":10459,"ordType":"limit",'
            '"px":"20000.5","side":"buy","sz":"0.01","tdMode":"cash"}],"id":"o1","op":"order"}',
            '{"args":[{"instId":"BTC-USDT","instIdCode":10459,"ordId":"42"}],"id":"m1",'
            '"op":"cancel-order"}',
            '{"args":[{"ccy":"","instId":"X","instIdCode":18446744073709551615,"ordType":"market",'
            '"pxVol":"1","side":"buy","sz":"1","tdMode":""}],"id":"o2","op":"order"}',
        ]
        # a miss fetches every code of the instrument's type, in one request
        lookups = [r.target for r in sim.sim.recorder.requests]
        assert lookups == ["/api/v5/public/instruments?instType=SPOT"] * 2
        c.disconnect()
        assert len(sim.frames(conn)) == 3
        assert c.rest_url == f"https://localhost:{sim.sim.ws_port}"

    def test_load_instruments_caches_every_code_of_a_type(self, sim):
        c = m.OkxConnector()
        conn = open_connection(sim, c, "/raw")
        assert c.load_instruments(inst_type="SPOT") == 2
        assert c.load_instruments(inst_type="OPTION", inst_family="BTC-USD") == 1
        for ord_id, inst_id in (("o1", "BTC-USDT"), ("o2", "ETH-USDT"),
                                ("o3", "BTC-USD-261225-100000-C")):
            c.place_order(ord_id=ord_id, inst_id=inst_id, side="buy", px="1", sz="1")
        assert [json.loads(f)["args"][0]["instIdCode"] for f in sim.wait_frames(conn, 3)] == [
            10459, 10458, 30777]
        assert [r.target for r in sim.sim.recorder.requests] == [
            "/api/v5/public/instruments?instType=SPOT",
            "/api/v5/public/instruments?instType=OPTION&instFamily=BTC-USD"]
        with pytest.raises(m.RequestRefused, match="^Request refused: no instrument codes for "
                           "NOPE: HTTP 400: .*51000"):
            c.load_instruments(inst_type="NOPE")

    def test_a_failed_lookup_says_what_happened(self, sim):
        c = m.OkxConnector()
        conn = open_connection(sim, c, "/raw")
        c.rest_url = f"https://localhost:{sim.sim.rest_port}"

        def place():
            c.place_order(ord_id="o1", inst_id="BTC-USDT", side="buy", px="1", sz="1")

        sim.sim.add_rest_fault("rate-limit")
        with pytest.raises(m.RequestRefused, match="^Request refused: no instrument code for "
                           "BTC-USDT: HTTP 429: ") as refused:
            place()
        assert (refused.value.status, refused.value.retry_after) == (429, 2.0)
        assert json.loads(refused.value.body) == {"code": 429, "msg": "Too Many Requests"}
        sim.sim.add_rest_fault("rate-limit-date")  # Retry-After as an HTTP date, 7 s ahead
        with pytest.raises(m.RequestRefused) as refused:
            place()
        assert 5.0 <= refused.value.retry_after <= 7.0
        sim.sim.add_rest_fault("okx-rate-limit")  # OKX's code in a 200 reply
        with pytest.raises(m.RequestRefused, match="^Request refused: no instrument code for "
                           "BTC-USDT: OKX code 50011: Rate limit reached") as refused:
            place()
        assert (refused.value.status, refused.value.retry_after) == (200, None)
        for fault in ("status500", "status302", "drop", "not-json"):
            sim.sim.add_rest_fault(fault)
            with pytest.raises(m.RequestNotSent, match="^Request not sent: no instrument code "
                               "for BTC-USDT: "):
                place()
        place()
        assert len(sim.wait_frames(conn, 1)) == 1  # only the order whose code came

    def test_a_private_connect_opens_the_rest_connection_its_lookups_use(self, sim):
        c = private_connector()
        c.rest_url = f"https://localhost:{sim.sim.rest_port}"
        connect(sim, c, PRIVATE)
        sim.sim.recorder.wait_for(lambda: sim.sim.rest_handshakes == 1, 10)

        def asked():  # besides the clock's measurement, which a private connect makes
            return [r for r in sim.sim.recorder.requests if r.target != "/api/v5/public/time"]
        assert asked() == []  # open before anything is asked of it
        read(c, 1)
        c.place_order(ord_id="w1", inst_id="BTC-USDT", side="buy", px="1", sz="1",
                      tdMode="cash", ordType="limit")
        assert json.loads(read(c, 1)[0])["data"][0]["sCode"] == "0"
        assert c.load_instruments(inst_type="SWAP") == 1
        assert (len(asked()), sim.sim.rest_handshakes) == (2, 1)

    def test_an_order_on_a_relisted_instrument_goes_once_more_while_its_caller_waits(self, sim):
        c = private_connector()
        connect(sim, c, PRIVATE)
        read(c, 1)  # the login reply
        order = dict(inst_id="BTC-USDT", side="buy", px="1", sz="1", tdMode="cash",
                     ordType="limit")
        c.place_order(ord_id="r1", resend_relisted=True, **order)
        assert json.loads(read(c, 1)[0])["data"][0]["sCode"] == "0"
        assert c.settle_order("r1") == ("none", "")
        new_code = relist(sim.sim.okx_instruments, "BTC-USDT")
        c.place_order(ord_id="r2", resend_relisted=True, **order)
        placed = json.loads(read(c, 1)[0])  # the 51001 refusal is not delivered: its retry's reply
        assert (placed["id"], placed["data"][0]["sCode"]) == ("r2", "0")
        assert c.settle_order("r2") == ("resent", "")
        # nobody waits for this one: its refusal comes as it is, and it is not sent again
        newer_code = relist(sim.sim.okx_instruments, "BTC-USDT")
        c.place_order(ord_id="r4", **order)
        assert json.loads(read(c, 1)[0])["data"][0]["sCode"] == "51001"
        sent = [json.loads(f.data) for f in sim.sim.recorder.frames if '"op":"order"' in f.data]
        assert [(o["id"], o["args"][0]["instIdCode"]) for o in sent] == [
            ("r1", BTC_USDT), ("r2", BTC_USDT), ("r2", new_code), ("r4", new_code)]
        assert newer_code != new_code
        with pytest.raises(TypeError, match="^Unknown keyword: resend_relisted$"):  # never resent
            c.batch_orders(msg_id="b1", orders=[dict(order, resend_relisted=True)])
        # an order with a code of the caller's own is the caller's: its refusal comes as it is
        c.place_order(ord_id="r3", inst_id="BTC-USDT", side="buy", px="1", sz="1",
                      tdMode="cash", ordType="limit", inst_id_code=BTC_USDT, resend_relisted=True)
        assert json.loads(read(c, 1)[0])["data"][0]["sCode"] == "51001"

    def test_a_51001_refusal_of_a_later_order_with_the_same_id_never_resends_the_earlier(
            self, sim):
        c = private_connector()
        connect(sim, c, PRIVATE)
        read(c, 1)  # the login reply
        order = dict(ord_id="d1", inst_id="BTC-USDT", side="buy", px="1", tdMode="cash",
                     ordType="limit")
        c.place_order(sz="1", resend_relisted=True, **order)  # its code looked up
        assert json.loads(read(c, 1)[0])["data"][0]["sCode"] == "0"
        relist(sim.sim.okx_instruments, "BTC-USDT")
        c.place_order(sz="2", inst_id_code=BTC_USDT, **order)  # the caller's own code, now stale
        assert json.loads(read(c, 1)[0])["data"][0]["sCode"] == "51001"
        sent = [json.loads(f.data) for f in sim.sim.recorder.frames if '"op":"order"' in f.data]
        assert [o["args"][0]["sz"] for o in sent] == ["1", "2"]  # nothing sent again
        c.disconnect()

    def test_two_orders_under_one_id_refused_with_51001_are_not_sent_again(self, sim):
        c = private_connector()
        connect(sim, c, PRIVATE)
        read(c, 1)  # the login reply
        assert c.load_instruments(inst_type="SPOT") > 0
        relist(sim.sim.okx_instruments, "BTC-USDT")  # the cached code is stale now
        sim.sim.okx_late_op_answers = True  # both go out before either is answered
        for size in ("1", "2"):
            c.place_order(ord_id="a1", inst_id="BTC-USDT", side="buy", px="1", sz=size,
                          tdMode="cash", ordType="limit", resend_relisted=True)
        c.subscribe(channel="orders", inst_type="ANY")  # its answer releases theirs
        replies = [json.loads(r) for r in read(c, 3) if '"op":"order"' in r]
        assert [r["data"][0]["sCode"] for r in replies] == ["51001", "51001"]
        sent = [json.loads(f.data) for f in sim.sim.recorder.frames if '"op":"order"' in f.data]
        assert [o["args"][0]["sz"] for o in sent] == ["1", "2"]  # neither sent again
        c.disconnect()

    def test_a_51001_refusal_whose_code_stands_is_delivered_without_another_frame(self, sim):
        c = private_connector()
        conn = connect(sim, c, "/raw")
        sim.wait_frames(conn, 1)
        sim.send(conn, '{"event":"login","code":"0","msg":"","connId":"x"}')
        read(c, 1)
        c.place_order(ord_id="q1", inst_id="BTC-USDT", side="buy", px="1", sz="1",
                      tdMode="cash", ordType="limit", resend_relisted=True)  # looked up
        sim.wait_frames(conn, 2)
        refusal = ('{"id":"q1","op":"order","code":"1","msg":"","data":[{"clOrdId":"",'
                   '"ordId":"","tag":"","sCode":"51001","sMsg":"Instrument ID does not exist."}]}')
        sim.send(conn, refusal)  # the instrument keeps its code: nothing to send again
        deadline = time.monotonic() + READ_TIMEOUT
        while c.stats()["received_messages"] < 2:  # queued with no frame after it
            assert time.monotonic() < deadline, "the refusal was not queued"
            time.sleep(0.01)
        assert read(c, 1) == [refusal]
        c.disconnect()

    def test_order_round_trip_with_private_updates(self, sim):
        c = private_connector()
        c.subscribe(channel="orders", inst_type="SPOT")
        connect(sim, c, PRIVATE)
        read(c, 2)
        c.place_order(ord_id="req1", inst_id="BTC-USDT", side="buy", px="43000", sz="0.01",
                      tdMode="cash", ordType="limit", cl_ord_id="mine1")
        placed, update = (json.loads(x) for x in read(c, 2))
        assert (placed["id"], placed["op"], placed["code"]) == ("req1", "order", "0")
        ord_id = placed["data"][0]["ordId"]
        assert update["arg"]["channel"] == "orders" and update["data"][0]["state"] == "live"
        assert update["arg"] == {"channel": "orders", "instType": "SPOT", "uid": "1"}
        c.place_order(ord_id="req2", inst_id="BTC-USDT", side="buy", px="43000", sz="0.01",
                      tdMode="cash", ordType="limit", cl_ord_id="mine1")
        twice = json.loads(read(c, 1)[0])
        assert twice["data"][0]["sCode"] == "51016"  # a pending order has that client id
        by_client_id = json.loads(c.query_order(inst_id="BTC-USDT", cl_ord_id="mine1"))
        assert by_client_id["data"][0]["ordId"] == ord_id
        c.cancel_order(msg_id="req3", ord_id=ord_id, inst_id="BTC-USDT")
        cancelled, update = (json.loads(x) for x in read(c, 2))
        assert (cancelled["id"], cancelled["op"], cancelled["code"]) == ("req3", "cancel-order", "0")
        assert update["data"][0]["state"] == "canceled"
        assert json.loads(c.query_order(inst_id="BTC-USDT", ord_id=ord_id))["data"][0][
            "state"] == "canceled"
        assert json.loads(c.query_order(inst_id="BTC-USDT", ord_id="1"))["code"] == "51603"
        with pytest.raises(RuntimeError, match="^query_order needs a private connector"):
            m.OkxConnector().query_order(inst_id="BTC-USDT", ord_id=ord_id)


def logged_in(sim, *channels):
    """A private connector logged in at the simulator, its REST calls going to the REST port
    (where OKX's POSTs are served), with `channels` subscribed and acknowledged."""
    c = private_connector()
    c.rest_url = f"https://localhost:{sim.sim.rest_port}"
    for channel in channels:
        c.subscribe(**channel)
    connect(sim, c, PRIVATE)
    read(c, 1 + len(channels))
    return c


class TestTraderCalls:
    def test_channels_keyed_by_other_members(self, sim):
        c = m.OkxConnector()
        c.subscribe(channel="instruments", inst_type="SPOT")
        c.subscribe(channel="opt-summary", inst_family="BTC-USD")
        conn = connect(sim, c, PUBLIC)
        assert [without_conn_id(x)["event"] for x in read(c, 2)] == ["subscribe", "subscribe"]
        c.unsubscribe(channel="instruments", inst_type="SPOT")
        assert sim.wait_frames(conn, 2) == [
            '{"args":[{"channel":"instruments","instType":"SPOT"},'
            '{"channel":"opt-summary","instFamily":"BTC-USD"}],"op":"subscribe"}',
            '{"args":[{"channel":"instruments","instType":"SPOT"}],"op":"unsubscribe"}']
        with pytest.raises(ValueError, match="^Missing required parameter: inst_id$"):
            c.subscribe(channel="tickers")

    def test_amend_and_batches_on_the_wire(self, sim):
        c = m.OkxConnector()
        conn = open_connection(sim, c, "/raw")
        c.amend_order(msg_id="a1", inst_id="X", inst_id_code=2, cl_ord_id="b15", newSz="2",
                      newPx=1.5, cxlOnFail=True, req_id="r1")
        c.batch_orders(msg_id="b1", orders=[
            dict(inst_id="X", inst_id_code=2, side="buy", px="1", sz="1", tdMode="cash",
                 ordType="limit", cl_ord_id="c1"),
            dict(inst_id="Y", inst_id_code=3, side="sell", px="2", sz="3")])
        c.batch_cancel_orders(msg_id="b2", orders=[dict(inst_id="X", inst_id_code=2, ord_id="7"),
                                                   dict(inst_id="Y", inst_id_code=3, cl_ord_id="c2")])
        c.batch_amend_orders(msg_id="b3", orders=[dict(inst_id="X", inst_id_code=2, ord_id="7",
                                                       newPx="3")])
        one = dict(inst_id="X", inst_id_code=2, side="buy", px="1", sz="1")
        refusals = [
            (ValueError, "^Missing required parameter: newSz$",
             lambda: c.amend_order(msg_id="a2", inst_id="X", inst_id_code=2, ord_id="7")),
            (ValueError, "^orders must hold 1 to 20 orders$",
             lambda: c.batch_orders(msg_id="b4", orders=[one] * 21)),
            (ValueError, "^orders must hold 1 to 20 orders$", lambda: c.batch_orders(msg_id="b4", orders=[])),
            (ValueError, "^Missing required parameter: orders$", lambda: c.batch_orders(msg_id="b4")),
            (ValueError, "^Missing required parameter: msg_id$", lambda: c.batch_orders(orders=[one])),
            (TypeError, "^Unknown keyword: ord_id$",  # the request's id, not an order's
             lambda: c.batch_orders(msg_id="b4", orders=[dict(one, ord_id="1")])),
            (TypeError, "^Unknown keyword: newsz$",
             lambda: c.batch_amend_orders(msg_id="b4", orders=[dict(inst_id="X", ord_id="7", newsz="1")])),
            (TypeError, "^orders must be a list of dicts with str keys$",
             lambda: c.batch_cancel_orders(msg_id="b4", orders=[("inst_id", "X")])),
            (ValueError, "^cxlOnFail must be a bool$",
             lambda: c.amend_order(msg_id="a2", inst_id="X", inst_id_code=2, ord_id="7", newSz="1",
                                   cxlOnFail="maybe")),
        ]
        for error, text, call in refusals:
            with pytest.raises(error, match=text):
                call()
        assert sim.wait_frames(conn, 4) == [
            '{"args":[{"clOrdId":"b15","cxlOnFail":true,"instId":"X","instIdCode":2,"newPx":"1.500000",'
            '"newSz":"2","reqId":"r1"}],"id":"a1","op":"amend-order"}',
            '{"args":[{"ccy":"","clOrdId":"c1","instId":"X","instIdCode":2,"ordType":"limit","px":"1",'
            '"side":"buy","sz":"1","tdMode":"cash"},{"ccy":"","instId":"Y","instIdCode":3,'
            '"ordType":"market","px":"2","side":"sell","sz":"3","tdMode":""}],"id":"b1","op":"batch-orders"}',
            '{"args":[{"instId":"X","instIdCode":2,"ordId":"7"},{"clOrdId":"c2","instId":"Y",'
            '"instIdCode":3}],"id":"b2","op":"batch-cancel-orders"}',
            '{"args":[{"instId":"X","instIdCode":2,"newPx":"3","ordId":"7"}],"id":"b3",'
            '"op":"batch-amend-orders"}',
        ]
        c.disconnect()
        assert len(sim.frames(conn)) == 4

    def test_calls_against_the_exchange(self, sim):
        c = logged_in(sim)
        c.batch_orders(msg_id="b1", orders=[
            dict(inst_id="BTC-USDT", side="buy", px="43000", sz="0.01", tdMode="cash", ordType="limit"),
            dict(inst_id="BTC-USDT", side="buy", px="abc", sz="0.01", tdMode="cash", ordType="limit")])
        mixed = json.loads(read(c, 1)[0])
        assert (mixed["code"], [i["sCode"] for i in mixed["data"]]) == ("2", ["0", "51000"])
        ord_id = mixed["data"][0]["ordId"]
        c.amend_order(msg_id="a1", inst_id="BTC-USDT", ord_id=ord_id, newSz="0.02")
        c.amend_order(msg_id="a2", inst_id="BTC-USDT", ord_id="1", newSz="0.02")
        amended, unknown = (json.loads(x) for x in read(c, 2))
        assert (amended["code"], unknown["data"][0]["sCode"]) == ("0", "51603")
        pending = json.loads(c.open_orders(inst_type="SPOT", inst_id="BTC-USDT"))["data"]
        assert [(o["ordId"], o["sz"]) for o in pending] == [(ord_id, "0.02")]
        assert json.loads(c.cancel_all_after(10))["code"] == "0"
        assert json.loads(c.cancel_all_after(0))["code"] == "0"
        with pytest.raises(ValueError, match="^cancel_all_after takes 0 or 10 to 120 seconds$"):
            c.cancel_all_after(5)
        c.batch_cancel_orders(msg_id="b2", orders=[dict(inst_id="BTC-USDT", ord_id=ord_id)])
        assert json.loads(read(c, 1)[0])["code"] == "0"
        assert json.loads(c.open_orders())["data"] == []
        targets = [r.target for r in sim.sim.recorder.requests if "/trade/" in r.target]
        assert targets == ["/api/v5/trade/orders-pending?instType=SPOT&instId=BTC-USDT",
                           "/api/v5/trade/cancel-all-after", "/api/v5/trade/cancel-all-after",
                           "/api/v5/trade/orders-pending"]
        assert [r.body for r in sim.sim.recorder.requests if r.method == "POST"] == [
            '{"timeOut":"10"}', '{"timeOut":"0"}']
        for call in (lambda p: p.cancel_all_after(10), lambda p: p.open_orders()):
            with pytest.raises(RuntimeError, match="needs a private connector"):
                call(m.OkxConnector())

    @pytest.mark.parametrize("served", ["1", "999999999999999999"])
    def test_a_hostile_time_endpoint_is_not_believed(self, sim, served):
        sim.sim.served_time = served
        c = private_connector()
        c.rest_url = f"https://localhost:{sim.sim.rest_port}"
        assert json.loads(c.query_order(inst_id="BTC-USDT", ord_id="1"))["code"] == "51603"
        assert c.stats()["clock_offset_ms"] is None

    def test_a_refused_timestamp_measures_the_clock_again_at_once(self, sim):
        c = private_connector()
        c.rest_url = f"https://localhost:{sim.sim.rest_port}"
        assert json.loads(c.query_order(inst_id="BTC-USDT", ord_id="1"))["code"] == "51603"
        sim.sim.clock_skew_s = 40.0  # OKX's clock steps 40 s ahead, past the 30 s it allows
        with pytest.raises(m.RequestRefused, match="50102"):
            c.query_order(inst_id="BTC-USDT", ord_id="1")
        assert abs(c.stats()["clock_offset_ms"] - 40000) < 2000
        assert json.loads(c.query_order(inst_id="BTC-USDT", ord_id="1"))["code"] == "51603"

    def test_a_skewed_clock_is_measured_and_signed_by(self, sim):
        sim.sim.clock_skew_s = 40.0  # beyond the 30 s OKX allows either way
        c = logged_in(sim, dict(channel="orders", inst_type="ANY"))  # the login went through
        assert abs(c.stats()["clock_offset_ms"] - 40000) < 2000
        assert json.loads(c.query_order(inst_id="BTC-USDT", ord_id="1"))["code"] == "51603"
        assert m.OkxConnector().stats()["clock_offset_ms"] is None

    def test_the_dead_man_switch_is_kept_while_the_program_runs_and_fires_once_it_is_killed(self, sim):
        watcher = logged_in(sim, dict(channel="orders", inst_type="SPOT"))
        watcher.place_order(ord_id="p1", inst_id="BTC-USDT", side="buy", px="43000", sz="0.01",
                            tdMode="cash", ordType="limit")
        placed, _ = (json.loads(x) for x in read(watcher, 2))
        script = (
            "import sys, _corvane_ws_module as m\n"
            "c = m.OkxConnector(*sys.argv[3:6])\n"
            "c.rest_url = sys.argv[2]\n"
            "c.connect(sys.argv[1])\n"
            "it = c.wsrun()\n"
            "next(it)\n"
            "print(c.cancel_all_after(10), flush=True)\n"
            "for message in it:\n"
            "    pass\n")
        child = subprocess.Popen(
            [sys.executable, "-c", script, sim.sim.url(PRIVATE), f"https://localhost:{sim.sim.rest_port}",
             OKX_TEST.api_key, OKX_TEST.secret, OKX_TEST.passphrase], stdout=subprocess.PIPE, text=True)
        try:
            assert json.loads(child.stdout.readline())["code"] == "0"
            # The first countdown plus four refreshes, each a third of the period later: 13 s on,
            # past the first countdown's end.
            sim.sim.recorder.wait_for(lambda: sum(
                r.target == "/api/v5/trade/cancel-all-after" for r in sim.sim.recorder.requests) >= 5, 40)
            assert sim.sim.okx_orders[placed["data"][0]["ordId"]]["state"] == "live"
        finally:
            child.kill()
            child.wait(10)
            child.stdout.close()
        update = json.loads(read(watcher, 1, timeout=30)[0])  # within the 10 s period
        assert (update["data"][0]["ordId"], update["data"][0]["state"]) == (
            placed["data"][0]["ordId"], "canceled")

    def test_the_dead_man_switch_lapses_when_the_program_stops_reading(self, sim):
        watcher = logged_in(sim, dict(channel="orders", inst_type="SPOT"))
        watcher.place_order(ord_id="p1", inst_id="BTC-USDT", side="buy", px="43000", sz="0.01",
                            tdMode="cash", ordType="limit")
        placed, _ = (json.loads(x) for x in read(watcher, 2))
        armed = logged_in(sim)
        assert json.loads(armed.cancel_all_after(10))["code"] == "0"  # and nobody reads `armed`
        update = json.loads(read(watcher, 1, timeout=30)[0])
        assert (update["data"][0]["ordId"], update["data"][0]["state"]) == (
            placed["data"][0]["ordId"], "canceled")
        assert [r.target for r in sim.sim.recorder.requests].count(
            "/api/v5/trade/cancel-all-after") == 1  # never refreshed
