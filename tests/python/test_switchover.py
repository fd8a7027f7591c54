"""Planned disconnects: a stream moves to a new connection before the exchange closes the old
one (OKX's notice 64008, a connection age limit), with no message lost or doubled; and the
exchanges' connection limits kept."""

import collections
import json
import ssl
import threading
import time
import urllib.request

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
        self.arrived_ns = []  # when each item reached the reader (time.time_ns())
        self.ended = threading.Event()
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            for item in self.connector.wsrun(meta=True):
                with self.cond:
                    self.items.append(item)
                    self.arrived_ns.append(time.time_ns())
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


def create_times(items):
    """The simulator's sequence numbers of MEXC pushes (the wrapper's createTime), in order."""
    return [m.decode_mexc(i.data)["createTime"] for i in items
            if isinstance(i, m.Message) and isinstance(i.data, bytes)]


def read_meta_until(connector, done, limit=30.0):
    """Reads Message and Event objects from a fresh iterator until done(items); the connector is
    disconnected if that takes more than `limit` seconds, which ends the read."""
    items = []
    timer = threading.Timer(limit, connector.disconnect)
    timer.start()
    try:
        for item in connector.wsrun(meta=True):
            items.append(item)
            if done(items):
                break
    except RuntimeError as e:
        assert str(e) == "No more messages"
    finally:
        timer.cancel()
        timer.join()
    return items


def switched(count):
    """done(items) for read_meta_until: `count` switch-overs have happened (counted as they come)."""
    seen = [0, 0]  # items looked at, switch events among them

    def done(items):
        for item in items[seen[0]:]:
            seen[1] += isinstance(item, m.Event) and item.kind == "switch"
        seen[0] = len(items)
        return seen[1] >= count

    return done


def trade_push(trade_id):
    return ('{"arg":{"channel":"trades","instId":"BTC-USDT"},"data":[{"instId":"BTC-USDT",'
            f'"tradeId":"{trade_id}","px":"1","sz":"1","side":"buy","ts":"1"}}]}}')


def trades(items):
    return [i for i in items if isinstance(i, m.Message) and i.data.startswith('{"arg":{"channel":"trades"')]


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
        assert any('"op":"order"' in f for f in sim.frames(1))  # it went out on the old connection
        assert len(order_replies(reader.items)) == 1
        assert len(order_updates(reader.items)) == 1  # pushed on both, delivered once
        assert reader.events() == [("open", 1), ("open", 2), ("switch", 2), ("close", 1)]
        c.place_order(ord_id="sw2", inst_id="BTC-USDT", side="buy", px="20000", sz="1",
                      tdMode="cash", ordType="limit", inst_id_code=10459)
        assert '"op":"order"' in sim.wait_frames(second, 3)[-1]  # the new one takes sends
        reader.finish()

    def test_an_order_reply_after_the_unsubscribe_answer_still_arrives(self, sim):
        c = private_okx()
        c.subscribe(channel="orders", inst_type="ANY")
        c.connect(sim.sim.url("/ws/v5/private"))
        reader = MetaReader(c)
        reader.wait(lambda items: any('"event":"subscribe"' in i.data for i in items
                                      if isinstance(i, m.Message)))
        sim.sim.okx_late_op_answers = True  # the reply follows the old one's unsubscribe answer
        c.place_order(ord_id="late1", inst_id="BTC-USDT", side="buy", px="20000", sz="1",
                      tdMode="cash", ordType="limit", inst_id_code=10459)
        assert '"op":"order"' in sim.wait_frames(1, 3)[-1]  # login, subscribe, order
        sim.okx_notice(1)
        reader.wait(has_event("close", 1))
        assert len(order_replies(reader.items)) == 1
        assert reader.events() == [("open", 1), ("open", 2), ("switch", 2), ("close", 1)]
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

    def test_an_age_past_what_the_clock_holds_never_comes(self, sim):
        """An age too long for the clock is no limit, not an overflow that switches at once:
        a connector aged 0.5 s beside it switches first, and it has not switched by then."""
        far, near = m.MexcConnector(), m.MexcConnector()
        far.max_connection_age = 9.3e9
        assert far.max_connection_age == 9.3e9
        near.max_connection_age = 0.5
        far.connect(sim.sim.url("/ws"))
        far_reader = MetaReader(far)
        far_reader.wait(has_event("open", 1))
        near.connect(sim.sim.url("/ws"))
        near_reader = MetaReader(near)
        near_reader.wait(has_event("switch"))
        near_reader.finish()
        assert far_reader.events() == [("open", 1)]
        far_reader.finish()

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


    @pytest.mark.parametrize("exchange", ["okx", "mexc"])
    def test_a_stream_held_back_by_limit_queue_loses_nothing_through_several_switch_overs(
            self, certificates, capfd, exchange):
        count = 6000
        numbers = seq_ids if exchange == "okx" else lambda got: [(0, t) for t in create_times(got)]
        with make_sim(certificates, rate=3000, feed_limit=count) as sim:
            if exchange == "okx":
                c = m.OkxConnector()
                c.subscribe(channel="trades", inst_id="BTC-USDT")
            else:
                c = m.MexcConnector()
                c.subscribe(host="spot@public.aggre.deals.v3.api.pb@10ms", symbol="BTCUSDT")
            c.limit_queue(64 * 1024)
            c.max_connection_age = 0.5
            c.connect(sim.sim.url(PUBLIC if exchange == "okx" else "/ws"))
            iterator = c.wsrun(meta=True)
            items = [next(iterator) for _ in range(100)]  # then the reader stalls
            sim.wait_connection(4, 30)  # three switch-overs meanwhile
            items += read_meta_until(c, lambda got: any(s == count for _, s in numbers(got[-1:])))
            c.max_connection_age = None
            seqs = sorted(s for _, s in numbers(items))
            lost, doubled = set(range(1, count + 1)) - set(seqs), len(seqs) - len(set(seqs))
            assert (len(lost), doubled) == (0, 0)
            switches = [i for i in items if isinstance(i, m.Event) and i.kind == "switch"]
            assert len(switches) >= 2
            assert c.stats()["max_queued_bytes"] > 64 * 1024  # read past the bound while switching
            c.disconnect()
        printed = capfd.readouterr()
        assert "warning" not in printed.out + printed.err  # nothing printed by a switch-over

    def test_a_notice_behind_a_held_back_backlog_is_read_within_its_warning(self, sim):
        sim.sim.okx_limits.upgrade_close_s = 60.0
        c = m.OkxConnector()
        c.subscribe(channel="tickers", inst_id="BTC-USDT")
        c.limit_queue(64 * 1024)
        c.connect(sim.sim.url(PUBLIC))
        assert len(read_meta_until(c, lambda got: len(got) == 2)) == 2  # open, acknowledged
        backlog = 12_000  # 12 MB: more than the sockets hold, so the exchange has to wait
        sim.soon(lambda: sim.sim.send_repeated(1, backlog, lambda seq: f"{seq:08d}" + "x" * 992))
        wait_until(lambda: sim.sim.connection(1).ws.transport.get_write_buffer_size() > 1 << 20)
        sim.soon(lambda: sim.sim.okx_notice(1))  # behind the backlog
        sim.wait_connection(2, 40)  # read 20 s into the stall: a third of OKX's 60 s
        assert c.stats()["max_queued_bytes"] > 64 * 1024
        c.disconnect()

    def test_a_notice_on_the_replacement_brings_the_next_switch_over(self, sim):
        sim.sim.okx_limits.upgrade_close_s = 3.0
        c = m.OkxConnector()
        c.subscribe(channel="tickers", inst_id="BTC-USDT")
        c.connect(sim.sim.url(PUBLIC))
        reader = MetaReader(c)
        reader.wait(lambda items: len(items) >= 2)  # open, acknowledged
        sim.sim.okx_hold_acks = True
        sim.okx_notice(sim.wait_connection(1))
        second = sim.wait_connection(2)
        sim.wait_frames(second, 1)  # its replay, not answered yet
        sim.okx_notice(second)  # before it takes over
        sim.release_okx_acks()
        assert reader.wait(has_event("switch", 3))
        switches = [(i.previous, i.connection) for i in reader.items
                    if isinstance(i, m.Event) and i.kind == "switch"]
        assert switches == [(1, 2), (2, 3)]
        reader.finish()

    def test_a_payload_repeated_after_a_switch_over_is_delivered_again(self, sim):
        repeated = ('{"arg":{"channel":"tickers","instId":"BTC-USDT"},'
                    '"data":[{"instId":"BTC-USDT","last":"1"}]}')
        copies = lambda items: [i for i in items if isinstance(i, m.Message) and i.data == repeated]
        c = m.OkxConnector()
        c.subscribe(channel="tickers", inst_id="BTC-USDT")
        c.connect(sim.sim.url(PUBLIC))
        reader = MetaReader(c)
        reader.wait(lambda items: len(items) >= 2)
        sim.sim.okx_hold_acks = True
        sim.okx_notice(sim.wait_connection(1))
        second = sim.wait_connection(2)
        sim.wait_frames(second, 1)
        sim.send(1, repeated)  # before the replacement's channel is acknowledged
        reader.wait(lambda items: len(copies(items)) == 1)
        sim.release_okx_acks()
        reader.wait(has_event("switch", 2))
        sim.send(second, repeated)  # a genuine repeat, not a twin
        assert reader.wait(lambda items: len(copies(items)) == 2)
        reader.finish()

    def test_mexc_twins_with_their_own_send_times_arrive_once(self, certificates):
        count = 3000
        with make_sim(certificates, rate=3000, feed_limit=count) as sim:
            c = m.MexcConnector()
            c.subscribe(host="spot@public.aggre.deals.v3.api.pb@10ms", symbol="BTCUSDT")
            c.max_connection_age = 0.3
            c.connect(sim.sim.url("/ws"))
            items = read_meta_until(c, lambda got: create_times(got[-1:]) == [count])
            c.max_connection_age = None
            times = create_times(items)
            assert (len(times), sorted(times)) == (count, list(range(1, count + 1)))
            assert any(isinstance(i, m.Event) and i.kind == "switch" for i in items)
            c.disconnect()

    def test_a_push_held_on_a_quiet_stream_comes_within_the_grace(self, sim):
        """The old connection carries a, x, b, x and the replacement x, b, then nothing more
        comes: b is a twin only if the replacement's next push is x. With no later message it
        comes a grace (250 ms) after the old connection's last push, before the old one's close."""
        c = m.OkxConnector()
        c.subscribe(channel="trades", inst_id="BTC-USDT")
        c.connect(sim.sim.url(PUBLIC))
        reader = MetaReader(c)
        reader.wait(lambda items: any('"event":"subscribe"' in i.data for i in items
                                      if isinstance(i, m.Message)))
        a, x, b = (trade_push(n) for n in (1, 2, 3))
        sim.sim.okx_hold_acks = True  # the replacement subscribes, but is not ready
        sim.okx_notice(sim.wait_connection(1))
        second = sim.wait_connection(2)
        sim.wait_frames(second, 1)  # its replayed subscribe
        sim.send_repeated(1, 4, lambda n: [a, x, b, x][n - 1])
        reader.wait(lambda items: len(trades(items)) == 4)
        sim.send_repeated(second, 2, lambda n: [x, b][n - 1])  # ahead of its acknowledgement
        sim.release_okx_acks()
        reader.wait(has_event("close", 1))
        got = trades(reader.items)
        assert [(i.connection, i.data) for i in got] == [(1, a), (1, x), (1, b), (1, x), (2, b)]
        kinds = [i.kind if isinstance(i, m.Event) else i.data for i in reader.items]
        assert kinds.index("switch") < kinds.index(b, kinds.index("switch")) < kinds.index("close")
        held_ns = reader.arrived_ns[reader.items.index(got[-1])] - got[-1].recv_ns
        assert held_ns < 1_000_000_000
        reader.finish()

    @pytest.mark.parametrize("exchange", ["okx", "mexc"])
    def test_genuine_repeats_are_kept_over_twenty_switch_overs(self, certificates, exchange):
        # Every second push comes after a repeat of the one 5 before it (OKX: the same bytes;
        # MEXC: the same but for sendTime), its original often older than the overlap: a
        # switch-over whose overlap ends just before a repeat must not take it for a twin.
        lag = 5
        with make_sim(certificates, rate=1000) as sim:
            sim.sim.broadcasts.repeat_every, sim.sim.broadcasts.repeat_lag = 2, lag
            if exchange == "okx":
                c = m.OkxConnector()
                c.subscribe(channel="trades", inst_id="BTC-USDT")
                path, numbers = PUBLIC, lambda items: [seq for _, seq in seq_ids(items)]
            else:
                c = m.MexcConnector()
                c.subscribe(host="spot@public.aggre.deals.v3.api.pb@10ms", symbol="BTCUSDT")
                path, numbers = "/ws", create_times
            c.max_connection_age = 0.3
            c.connect(sim.sim.url(path))
            items = read_meta_until(c, switched(20), limit=60)
            c.disconnect()
        assert switched(20)(items)
        got = numbers(items)
        counts = collections.Counter(got)
        # Every copy of a number up to the last but `lag` was sent before the last one.
        expected = {k: 2 if (k + lag) % 2 == 0 else 1 for k in range(1, max(got) - lag + 1)}
        lost = sum(max(0, n - counts[k]) for k, n in expected.items())
        doubled = sum(max(0, counts[k] - n) for k, n in expected.items())
        assert (lost, doubled) == (0, 0)

    def test_a_snapshot_on_the_replacement_doubles_no_update(self, certificates):
        with make_sim(certificates, rate=1000) as sim:
            sim.sim.okx_book_snapshots = True
            c = m.OkxConnector()
            c.subscribe(channel="books", inst_id="BTC-USDT")
            c.max_connection_age = 0.3
            c.connect(sim.sim.url(PUBLIC))
            items = read_meta_until(c, switched(20), limit=60)
            c.disconnect()
        assert switched(20)(items)
        pushes = [json.loads(i.data)["data"][0] for i in items
                  if isinstance(i, m.Message) and "seqId" in i.data]
        # Each update continues the one before it (a snapshot, prevSeqId -1, is a whole book).
        breaks = [(a["seqId"], b["prevSeqId"], b["seqId"]) for a, b in zip(pushes, pushes[1:])
                  if b["prevSeqId"] not in (-1, a["seqId"]) or b["seqId"] <= a["seqId"]]
        assert (len(pushes) > 100, breaks) == (True, [])
        assert not any(isinstance(i, m.Event) and i.kind == "gap" for i in items)


class TestSequences:
    """The exchanges' own order-book sequences, checked across switch-overs: a break is an Event
    of kind "gap"; the normal cases are not."""

    @pytest.mark.parametrize("exchange", ["okx", "mexc"])
    def test_an_injected_gap_gives_one_event(self, certificates, exchange):
        with make_sim(certificates, rate=500) as sim:
            if exchange == "okx":
                c = m.OkxConnector()
                c.subscribe(channel="books", inst_id="BTC-USDT")
                c.connect(sim.sim.url(PUBLIC))
                channel, instrument = "books", "BTC-USDT"
            else:
                c = m.MexcConnector()
                c.subscribe(host="spot@public.aggre.depth.v3.api.pb@10ms", symbol="BTCUSDT")
                c.connect(sim.sim.url("/ws"))
                channel, instrument = "spot@public.aggre.depth.v3.api.pb@10ms@BTCUSDT", "BTCUSDT"
            pushes = lambda items: sum(isinstance(i, m.Message) and
                                       (isinstance(i.data, bytes) or '"seqId"' in i.data)
                                       for i in items)
            items = read_meta_until(c, lambda got: pushes(got) == 50)
            sim.inject_gap()
            items += read_meta_until(c, lambda got: pushes(got) == 50)
            gaps = [i for i in items if isinstance(i, m.Event) and i.kind == "gap"]
            assert len(gaps) == 1 and c.stats()["gaps"] == 1
            gap = gaps[0]
            # the dropped push's span: an exchange's sequence may advance by more than one
            assert (gap.channel, gap.instrument, gap.got > gap.expected) == (channel, instrument, True)
            # The snapshot a program resynchronises from is past the break.
            target = ("/api/v5/market/books?instId=BTC-USDT&sz=5&source=0" if exchange == "okx"
                      else "/api/v3/depth?symbol=BTCUSDT&limit=5")
            trust = ssl.create_default_context()
            certificates.ca.configure_trust(trust)
            with urllib.request.urlopen(f"https://localhost:{sim.sim.rest_port}{target}",
                                        timeout=READ_TIMEOUT, context=trust) as reply:
                snapshot = json.loads(reply.read())
            number = int(snapshot["data"][0]["seqId"]) if exchange == "okx" \
                else snapshot["lastUpdateId"]
            assert number > gap.got and len(snapshot["data" if exchange == "okx" else "bids"]) > 0
            c.disconnect()

    def test_a_long_clean_run_through_switch_overs_has_no_gap(self, certificates):
        count = 100_000
        with make_sim(certificates, rate=100_000, feed_limit=count) as sim:
            c = m.MexcConnector()
            c.subscribe(host="spot@public.aggre.depth.v3.api.pb@10ms", symbol="BTCUSDT")
            c.max_connection_age = 1.0
            c.connect(sim.sim.url("/ws"))
            items = read_meta_until(c, lambda got: create_times(got[-1:]) == [count], 120)
            c.max_connection_age = None
            assert sorted(create_times(items)) == list(range(1, count + 1))
            assert not [i for i in items if isinstance(i, m.Event) and i.kind == "gap"]
            assert c.stats()["gaps"] == 0
            c.disconnect()


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
        # The same stream spelt otherwise: host and symbol split it at another "@".
        c.subscribe(host="spot@public.aggre.deals.v3.api.pb", symbol="100ms", level="S1USDT")
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
