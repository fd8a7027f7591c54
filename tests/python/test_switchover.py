"""Planned disconnects: a stream moves to a new connection before the exchange closes the old
one (OKX's notice 64008, a connection age limit), with no message lost or doubled; and the
exchanges' connection limits kept."""

import json
import threading
import time

import pytest

import _corvane_ws_module as m
from conftest import READ_TIMEOUT, make_sim, private_mexc, read, read_until_end
from corvane_ws.sim import OKX_TEST

PUBLIC = "/ws/v5/public"


class MetaReader:
    """Reads Message and Event objects in a thread of its own until stopped or ended."""

    def __init__(self, connector):
        self.connector = connector
        self.items = []
        self.ended = threading.Event()
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            for item in self.connector.wsrun(meta=True):
                with self.cond:
                    self.items.append(item)
                    self.cond.notify_all()
        except RuntimeError as e:
            assert str(e) == "No more messages"
        finally:
            self.ended.set()
            with self.cond:
                self.cond.notify_all()

    def wait(self, predicate, timeout=READ_TIMEOUT):
        with self.cond:
            assert self.cond.wait_for(lambda: predicate(self.items) or self.ended.is_set(), timeout)
            return predicate(self.items)

    def wait_item(self, predicate, timeout=READ_TIMEOUT):
        """Waits for an item for which predicate(item) holds, looking at each item once."""
        checked = 0

        def found():
            nonlocal checked
            while checked < len(self.items):
                checked += 1
                if predicate(self.items[checked - 1]):
                    return True
            return self.ended.is_set()

        with self.cond:
            assert self.cond.wait_for(found, timeout)

    def events(self):
        with self.cond:
            return [(i.kind, i.connection) for i in self.items if isinstance(i, m.Event)]

    def messages(self):
        with self.cond:
            return [i for i in self.items if isinstance(i, m.Message)]

    def finish(self):
        self.connector.disconnect()
        self.thread.join(READ_TIMEOUT)
        assert not self.thread.is_alive()


def has_event(kind, connection=None):
    return lambda items: any(isinstance(i, m.Event) and i.kind == kind and
                             connection in (None, i.connection) for i in items)


def seq_ids(messages):
    """(connection, seqId) of each data message, in reading order."""
    out = []
    for message in messages:
        if not isinstance(message, m.Message):
            continue
        value = json.loads(message.data)
        if "data" in value and "seqId" in value["data"][0]:
            out.append((message.connection, value["data"][0]["seqId"]))
    return out


def private_okx():
    return m.OkxConnector(OKX_TEST.api_key, OKX_TEST.secret, OKX_TEST.passphrase)


class TestSwitchOver:
    def test_okx_notice_moves_a_flooding_stream_without_loss_or_double(self, certificates):
        count = 6000
        with make_sim(certificates, rate=3000, feed_limit=count) as sim:
            sim.sim.okx_limits.upgrade_close_s = 3.0  # beyond any wait of the connect pacing
            c = m.OkxConnector()
            c.subscribe(channel="trades", inst_id="BTC-USDT")
            c.connect(sim.sim.url(PUBLIC))
            reader = MetaReader(c)
            reader.wait_item(lambda item: seq_ids([item]) == [(1, 500)])
            sim.okx_notice(sim.wait_connection(1))
            reader.wait_item(lambda item: seq_ids([item])[-1:] in ([(1, count)], [(2, count)]), 30)
            reader.wait_item(lambda item: (getattr(item, "kind", ""), item.connection) == ("close", 1))
            assert not reader.ended.is_set()  # the reader never saw an end
            seqs = seq_ids(reader.messages())
            assert sorted(s for _, s in seqs) == list(range(1, count + 1))  # each exactly once
            for link in (1, 2):
                mine = [s for conn, s in seqs if conn == link]
                assert mine == sorted(mine) and mine
            assert reader.events() == [("open", 1), ("open", 2), ("switch", 2), ("close", 1)]
            switch = next(i for i in reader.items if isinstance(i, m.Event) and i.kind == "switch")
            assert (switch.previous, switch.reason) == (1, "notice 64008")
            reader.finish()

    def test_private_okx_order_in_the_overlap_arrives_once(self, sim):
        c = private_okx()
        c.subscribe(channel="orders", inst_type="ANY")
        c.connect(sim.sim.url("/ws/v5/private"))
        reader = MetaReader(c)
        reader.wait(lambda items: any('"event":"subscribe"' in i.data for i in items
                                      if isinstance(i, m.Message)))
        sim.sim.okx_hold_acks = True  # the replacement subscribes, but is not ready
        sim.okx_notice(sim.wait_connection(1))
        second = sim.wait_connection(2)
        sim.wait_frames(second, 2)  # its login and its replay
        wait_until(lambda: sim.run(subscribed(sim.sim, second)))
        c.place_order(ord_id="sw1", inst_id="BTC-USDT", side="buy", px="20000", sz="1",
                      tdMode="cash", ordType="limit", inst_id_code=10459)
        reader.wait(lambda items: len(order_updates(items)) >= 1 and order_replies(items))
        sim.release_okx_acks()
        reader.wait(has_event("close", 1))
        assert '"op":"order"' in sim.frames(1)[-1]  # it went out on the old connection
        assert len(order_replies(reader.items)) == 1
        assert len(order_updates(reader.items)) == 1  # pushed on both, delivered once
        assert reader.events() == [("open", 1), ("open", 2), ("switch", 2), ("close", 1)]
        c.place_order(ord_id="sw2", inst_id="BTC-USDT", side="buy", px="20000", sz="1",
                      tdMode="cash", ordType="limit", inst_id_code=10459)
        assert '"op":"order"' in sim.wait_frames(second, 3)[-1]  # the new one takes sends
        reader.finish()

    def test_mexc_private_switches_by_age_on_the_same_listen_key(self, sim):
        c = private_mexc(sim)
        assert (m.OkxConnector().max_connection_age, c.max_connection_age) == (None, 84600.0)
        with pytest.raises(ValueError, match="max_connection_age must be a positive number"):
            c.max_connection_age = 0
        c.subscribe(channel="spot@private.orders.v3.api.pb")
        c.max_connection_age = 0.5
        c.connect(sim.sim.url("/ws"))
        reader = MetaReader(c)
        reader.wait(has_event("close", 1))
        c.max_connection_age = None  # one switch-over is enough here
        first, second = sim.sim.connections[0], sim.sim.connections[1]
        assert first.query["listenKey"] == second.query["listenKey"]
        assert len(sim.sim.listen_keys) == 1
        switch = next(i for i in reader.items if isinstance(i, m.Event) and i.kind == "switch")
        assert (switch.connection, switch.previous, switch.reason) == (2, 1, "age")
        c.place_order(ord_id="a1", inst_id="BTCUSDT", side="BUY", sz="1", px="20000",
                      tdMode="LIMIT")
        reader.wait(lambda items: any(isinstance(i, m.Message) and isinstance(i.data, bytes)
                                      for i in items))
        reader.finish()
        assert len([i for i in reader.messages() if isinstance(i.data, bytes)]) == 1

    def test_a_failed_replacement_leaves_the_old_connection_to_its_end(self, sim, capfd):
        sim.sim.okx_limits.upgrade_close_s = 2.0
        c = m.OkxConnector()
        c.connect(sim.sim.url(PUBLIC))
        reader = MetaReader(c)
        reader.wait(has_event("open", 1))
        sim.sim.refuse_status = 503
        sim.okx_notice(sim.wait_connection(1))
        reader.thread.join(READ_TIMEOUT)
        assert reader.ended.is_set()  # the reader ends once the exchange closes the old one
        assert sorted(reader.events()) == [("close", 1), ("fail", 2), ("fail", 3), ("open", 1)]
        ends = {i.connection: i for i in reader.items if isinstance(i, m.Event) and i.kind != "open"}
        assert [ends[2].reason, ends[3].reason] == ["HTTP 503", "HTTP 503"]
        assert (ends[1].code, ends[1].by_peer) == (1012, True)
        c.disconnect()

    def test_disconnect_during_a_switch_over_ends_both(self, sim):
        c = m.OkxConnector()
        c.subscribe(channel="tickers", inst_id="BTC-USDT")
        c.connect(sim.sim.url(PUBLIC))
        reader = MetaReader(c)
        reader.wait(lambda items: len(items) >= 2)  # open, acknowledged
        sim.sim.okx_hold_acks = True
        sim.okx_notice(sim.wait_connection(1))
        sim.wait_frames(sim.wait_connection(2), 1)  # the replacement's replay
        reader.finish()
        assert sorted(reader.events()) == [("close", 1), ("close", 2), ("open", 1), ("open", 2)]
        sim.wait_closed(1)
        sim.wait_closed(2)


class TestConnectionLimits:
    def test_okx_replay_goes_in_requests_under_64_kb(self, sim):
        c = m.OkxConnector()
        for i in range(40):
            c.subscribe(channel="tickers", inst_id=f"X{i:02d}-" + "Y" * 3000)
        c.connect(sim.sim.url(PUBLIC))
        conn = sim.wait_connection(1)
        acks = read(c, 40)
        assert all(json.loads(a)["event"] == "subscribe" for a in acks)
        requests = [json.loads(f) for f in sim.frames(conn)]
        assert len(requests) == 2
        assert all(len(json.dumps(r["args"], separators=(",", ":"))) <= 64 * 1024 for r in requests)
        assert sum(len(r["args"]) for r in requests) == 40
        c.disconnect()

    def test_mexc_refuses_a_31st_stream(self):
        c = m.MexcConnector()
        for i in range(30):
            c.subscribe(host="spot@public.aggre.deals.v3.api.pb@100ms", symbol=f"S{i}USDT")
        c.subscribe(host="spot@public.aggre.deals.v3.api.pb@100ms", symbol="S0USDT")  # again
        with pytest.raises(ValueError, match="^Too many streams: MEXC serves at most 30 per "
                                             "connection$"):
            c.subscribe(host="spot@public.aggre.deals.v3.api.pb@100ms", symbol="S30USDT")


def wait_until(condition, limit=READ_TIMEOUT):
    deadline = time.monotonic() + limit
    while not condition():
        assert time.monotonic() < deadline, "not within the time limit"
        time.sleep(0.01)


async def subscribed(simulator, conn):
    session = simulator.sessions.get(conn)
    return session is not None and bool(session.private_args)


def order_replies(items):
    return [i for i in items if isinstance(i, m.Message) and '"op":"order"' in i.data]


def order_updates(items):
    return [i for i in items if isinstance(i, m.Message) and '"channel":"orders"' in i.data
            and '"data"' in i.data and '"op"' not in i.data]
