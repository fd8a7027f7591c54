"""Connecting, reading, sending and disconnecting, end to end against the local simulator."""

import json
import signal
import threading
import time

import pytest

import _corvane_ws_module as m
from conftest import READ_TIMEOUT, make_sim, open_connection, read, read_until_end


def connected_pair(sim, cls=m.OkxConnector, path="/raw"):
    """An open connector and the simulator's number for its connection."""
    connector = cls()
    return connector, open_connection(sim, connector, path)


class TestInboundOrder:
    def test_payloads_arrive_in_order_byte_for_byte(self, sim):
        c, conn = connected_pair(sim)
        binary = bytes(range(256)) + b"\xff\xfe\x00"
        messages = ["first", "", "é€😀 ünïcode", "x" * (1 << 20), binary, b"", "last"]
        sim.send_many(conn, messages)
        assert read(c, len(messages)) == messages

    def test_thousands_of_messages_keep_their_order(self, sim):
        c, conn = connected_pair(sim)
        messages = [f'{{"seq":{i}}}' for i in range(5000)]
        sim.send_many(conn, messages)
        assert read(c, len(messages)) == messages

    def test_large_messages_of_changing_sizes_keep_their_bytes(self, sim):
        # Large payload buffers are reused once read: no byte of an earlier, longer message
        # may show through in a later, shorter one.
        c, conn = connected_pair(sim)
        messages = [chr(ord("a") + i % 26) * (1024 + (i * 7919) % 40000) for i in range(300)]
        messages += ["é" * 3000, bytes(5000), "z" * 1024]
        sim.send_many(conn, messages)
        assert read(c, len(messages)) == messages

    def test_two_iterators_share_one_queue(self, sim):
        c, conn = connected_pair(sim)
        sim.send_many(conn, ["a", "b", "c"])
        first, second = c.wsrun(), c.wsrun()
        assert [next(first), next(second), next(first)] == ["a", "b", "c"]

    def test_disconnect_drains_then_ends(self, sim):
        c, conn = connected_pair(sim)
        sim.send_many(conn, ["1", "2", "3"])
        assert read(c, 1) == ["1"]
        sim.send(conn, "4")
        assert read(c, 2) == ["2", "3"]
        assert read(c, 1) == ["4"]
        c.disconnect()
        with pytest.raises(RuntimeError, match="^No more messages$"):
            next(c.wsrun())


class TestReaderEnds:
    def test_peer_close_ends_the_reader_after_the_queue(self, sim, capfd):
        c, conn = connected_pair(sim)
        sim.send_many(conn, ["a", "b"])
        sim.close(conn)
        assert read_until_end(c) == ["a", "b"]
        assert capfd.readouterr().out == ""

    @pytest.mark.parametrize("cut", ["abort", "cut_mid_frame"])
    def test_abrupt_drop_ends_the_reader(self, sim, cut):
        c, conn = connected_pair(sim)
        sim.send(conn, "kept")
        assert read(c, 1) == ["kept"]
        getattr(sim, cut)(conn)
        assert read_until_end(c) == []

    def test_invalid_utf8_text_frame_ends_the_connection(self, sim):
        c, conn = connected_pair(sim)
        sim.send(conn, "good")
        sim.send(conn, b"\xc3\x28", text=True)
        assert read_until_end(c) == ["good"]

    def test_disconnect_from_another_thread_ends_a_wait(self, sim):
        c, _ = connected_pair(sim)
        outcome = []

        def reader():
            try:
                next(c.wsrun())
            except RuntimeError as e:
                outcome.append(str(e))

        thread = threading.Thread(target=reader)
        thread.start()
        c.disconnect()
        thread.join(READ_TIMEOUT)
        assert not thread.is_alive()
        assert outcome == ["No more messages"]

    def test_a_huge_timeout_waits_for_the_message(self, sim):
        """recv(timeout=) past the clock's range waits as long as it can; it is no timeout of
        a few milliseconds."""
        c, conn = connected_pair(sim)
        it = c.wsrun()
        sender = threading.Timer(0.2, sim.send, (conn, "late"))  # a message that comes later
        sender.start()
        try:
            assert it.recv(9.3e9) == "late"
        finally:
            sender.join(READ_TIMEOUT)
            c.disconnect()

    def test_ctrl_c_interrupts_a_wait(self, sim):
        c, _ = connected_pair(sim)
        main = threading.main_thread().ident
        timer = threading.Timer(0.2, signal.pthread_kill, (main, signal.SIGINT))
        guard = threading.Timer(READ_TIMEOUT, c.disconnect)
        timer.start()
        guard.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                next(c.wsrun())
        finally:
            timer.cancel()
            guard.cancel()
        c.disconnect()


class TestSeveralReaders:
    def test_waiting_readers_do_not_stall_other_threads(self, sim):
        """Readers join one by one while the others wait; a 1 ms heartbeat keeps ticking."""
        c, _ = connected_pair(sim)
        gaps, readers, stop = [], [], threading.Event()

        def reader():
            try:
                next(c.wsrun())
            except RuntimeError:
                pass

        def heartbeat():
            last = time.perf_counter()
            for tick in range(400):
                time.sleep(0.001)
                now = time.perf_counter()
                gaps.append(now - last)
                last = now
                if tick % 40 == 0 and len(readers) < 8:
                    readers.append(threading.Thread(target=reader))
                    readers[-1].start()
            stop.set()

        beat = threading.Thread(target=heartbeat)
        beat.start()
        stop.wait(READ_TIMEOUT)
        beat.join(READ_TIMEOUT)
        c.disconnect()
        for thread in readers:
            thread.join(READ_TIMEOUT)
        assert len(readers) == 8 and not any(t.is_alive() for t in readers)
        # A reader that held the GIL while it waits stalls every tick; a busy machine only some.
        stalled = sum(gap for gap in gaps if gap >= 0.04) / sum(gaps)
        assert stalled < 0.5, f"the heartbeat stood still {stalled:.0%} of the time"


class TestReuse:
    def test_reconnect_after_disconnect(self, sim):
        c, conn = connected_pair(sim)
        sim.send(conn, "one")
        assert read(c, 1) == ["one"]
        c.disconnect()
        sim.wait_closed(conn)
        c.connect(sim.sim.url("/raw"))
        second = sim.wait_connection(conn + 1)
        sim.send(second, "two")
        assert read(c, 1) == ["two"]

    def test_reconnect_after_peer_close(self, sim):
        c, conn = connected_pair(sim)
        sim.close(conn)
        assert read_until_end(c) == []
        c.connect(sim.sim.url("/raw"))
        second = sim.wait_connection(conn + 1)
        sim.send(second, "again")
        assert read(c, 1) == ["again"]

    def test_second_connect_is_refused_and_harmless(self, sim):
        c, conn = connected_pair(sim)
        with pytest.raises(RuntimeError, match="^Connection failed: already connected$"):
            c.connect(sim.sim.url("/raw"))
        sim.send(conn, "still here")
        assert read(c, 1) == ["still here"]
        assert len(sim.sim.connections) == 1

    def test_disconnect_twice_and_destroy_while_connected(self, sim):
        c, conn = connected_pair(sim)
        c.disconnect()
        c.disconnect()
        d, conn2 = connected_pair(sim)
        sim.send(conn2, "pending")
        del d  # joins its thread; the simulator sees the connection go
        sim.wait_closed(conn2)


class TestConnectFailures:
    def test_invalid_url(self, sim):
        c = m.OkxConnector()
        with pytest.raises(RuntimeError, match="^Connection failed: invalid uri$"):
            c.connect("definitely not a url")
        c.disconnect()
        with pytest.raises(RuntimeError, match="^No more messages$"):
            next(c.wsrun())

    @pytest.mark.parametrize("url", ["ws://localhost:1/ws", "https://localhost:1/ws"])
    def test_only_wss_is_spoken(self, url):
        c = m.OkxConnector()
        with pytest.raises(RuntimeError, match="^Connection failed: only wss:// URLs are supported$"):
            c.connect(url)
        with pytest.raises(RuntimeError, match="^No more messages$"):
            next(c.wsrun())

    def _fails(self, url, capfd):
        c = m.MexcConnector()
        c.connect(url)
        assert read_until_end(c) == []
        return capfd.readouterr().out

    def test_unreachable_port(self, sim, capfd):
        import socket

        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        out = self._fails(f"wss://localhost:{port}/ws", capfd)
        assert out.count("Connection failed\n") == 1

    @pytest.mark.parametrize("status", [403, 404, 500, 503])
    def test_upgrade_refused(self, sim, capfd, status):
        assert "Connection failed\n" in self._fails(sim.sim.url(f"/reject/{status}"), capfd)

    @pytest.mark.parametrize("cert", ["wrong-host", "untrusted"])
    def test_certificate_must_verify(self, certificates, capfd, cert):
        with make_sim(certificates, cert=cert) as bad:
            assert "Connection failed\n" in self._fails(bad.sim.url("/raw"), capfd)
            assert bad.sim.connections == []

    def test_ip_address_host_is_verified_too(self, sim):
        c, conn = connected_pair(sim)
        d = m.OkxConnector()
        d.connect(sim.sim.url("/raw", host="127.0.0.1"))
        sim.send(sim.wait_connection(conn + 1), "by address")
        assert read(d, 1) == ["by address"]


class TestSend:
    def test_send_before_connect(self):
        c = m.OkxConnector()
        with pytest.raises(RuntimeError, match="^Send failed: Bad Connection$"):
            c.place_order(ord_id="1", inst_id="BTC-USDT", side="buy", px="1", sz="1")

    def test_send_after_disconnect_fails(self, sim):
        c, _ = connected_pair(sim)
        c.disconnect()
        with pytest.raises(RuntimeError, match="^Send failed: Bad Connection$"):
            c.cancel_order(msg_id="1", ord_id="2", inst_id="BTC-USDT")

    def test_what_was_sent_before_disconnect_reaches_the_peer(self, sim):
        c = m.OkxConnector()
        for i in range(10):
            conn = open_connection(sim, c, "/raw")
            c.cancel_order(msg_id=f"m{i}", ord_id="o", inst_id="BTC-USDT")
            c.disconnect()
            assert sim.wait_frames(conn, 1) == [
                f'{{"args":[{{"instId":"BTC-USDT","instIdCode":10459,"ordId":"o"}}],"id":"m{i}","op":"cancel-order"}}'
            ]
            sim.wait_closed(conn)

    def test_compact_sorted_raw_utf8_on_the_wire(self, sim):
        c, conn = connected_pair(sim)
        c.cancel_order(inst_id="ÉTH-€", ord_id='q"uote\\', msg_id="m1", inst_id_code=1)
        frame = sim.wait_frames(conn, 1)[0]
        assert frame == (
            '{"args":[{"instId":"ÉTH-€","instIdCode":1,"ordId":"q\\"uote\\\\"}],"id":"m1",'
            '"op":"cancel-order"}'
        )
        assert json.loads(frame)["args"][0]["instId"] == "ÉTH-€"


ONE_READ = 256 * 1024 + 1000  # what one network read may add after the limit was crossed


def meta_read(connector, count):
    iterator = connector.wsrun(meta=True)
    return [next(iterator) for _ in range(count)]


class TestObserving:
    def test_messages_carry_their_receive_time_and_connection_and_events_frame_each(self, sim):
        c, conn = connected_pair(sim)  # the plain reader of "opened" skipped the open event
        before = time.time_ns()
        sim.send(conn, "a")
        message, = meta_read(c, 1)
        assert (message.data, message.connection) == ("a", 1)
        assert before <= message.recv_ns <= time.time_ns()
        sim.close(conn, 4004, "No data received in 30s")
        close, = meta_read(c, 1)
        assert (close.kind, close.connection, close.code, close.reason, close.by_peer) == (
            "close", 1, 4004, "No data received in 30s", True)
        second = open_connection(sim, c, "/raw")
        sim.send(second, "b")
        c.disconnect()
        events = read_until_end_meta(c)
        assert [(e.kind, e.connection, e.code, e.by_peer) for e in events if isinstance(e, m.Event)] == [
            ("close", 2, 1000, False)]
        for url, reason in ((sim.sim.url("/reject/503"), "HTTP 503"),
                            ("wss://localhost:1/ws", "Connection refused")):
            c.connect(url)
            fail, = read_until_end_meta(c)
            assert (fail.kind, fail.connection, fail.reason, fail.code, fail.by_peer) == (
                "fail", fail.connection, reason, None, None)
        assert c.stats()["last_error"] == "Connection refused"
        assert repr(fail).startswith("Event(kind='fail', connection=4, ")

    @pytest.mark.parametrize("cut, reason", [("abort", "stream truncated"),
                                             ("reset", "Connection reset by peer")])
    def test_a_dropped_connection_is_reported_by_what_dropped_it(self, sim, cut, reason):
        c, conn = connected_pair(sim)
        getattr(sim, cut)(conn)
        close, = read_until_end_meta(c)
        assert (close.kind, close.code, close.reason) == ("close", 1006, reason)

    def test_stats_while_a_burst_is_held_back(self, sim):
        c, conn = connected_pair(sim)
        sim.send_many(conn, ["x" * 100] * 50)
        deadline = time.monotonic() + READ_TIMEOUT
        while c.stats()["received_messages"] < 51 and time.monotonic() < deadline:
            time.sleep(0.01)
        stats = c.stats()
        assert {k: stats[k] for k in ("queued_messages", "queued_bytes", "received_messages",
                                      "received_bytes", "connections", "connected", "paused")} == {
            "queued_messages": 50, "queued_bytes": 5000, "received_messages": 51,
            "received_bytes": 5006, "connections": 1, "connected": True, "paused": False}
        assert read(c, 50) == ["x" * 100] * 50
        assert c.stats()["max_queued_bytes"] >= 5000 and c.stats()["queued_bytes"] == 0

    def test_a_limited_queue_holds_the_exchange_back_and_loses_nothing(self, sim):
        c = m.OkxConnector()
        c.limit_queue(1 << 20)
        conn = open_connection(sim, c, "/raw")
        count = 10_000
        flood = threading.Thread(target=sim.send_repeated,
                                 args=(conn, count, lambda i: f"{i:08d}" + "x" * 992))
        flood.start()
        deadline = time.monotonic() + READ_TIMEOUT
        while not c.stats()["paused"] and time.monotonic() < deadline:
            time.sleep(0.01)  # the reader sleeps: the queue fills up to its limit
        queued = c.stats()["queued_bytes"]
        assert c.stats()["paused"] and (1 << 20) < queued < (1 << 20) + ONE_READ
        got = read(c, count)
        flood.join(READ_TIMEOUT)
        assert [int(x[:8]) for x in got] == list(range(1, count + 1))
        assert not c.stats()["paused"] and c.stats()["max_queued_bytes"] < (1 << 20) + ONE_READ

    def test_a_reader_stalled_past_the_margin_ends_the_connection_with_its_reason(self, sim):
        # 20 s into the stall an OKX stream reads on past its bound (so that a notice of a
        # close is not missed), by the margin at most: then it stops reading for good and the
        # connection ends as a close with its reason; what was kept arrives in order first.
        limit, margin = 1 << 20, 16 << 20
        c = m.OkxConnector()
        c.limit_queue(limit)
        conn = open_connection(sim, c, "/raw")
        count = 40_000  # 40 MB: more than the bound, its margin and the sockets hold
        sim.soon(lambda: sim.sim.send_repeated(conn, count, lambda i: f"{i:08d}" + "x" * 992))
        deadline = time.monotonic() + 60
        while c.stats()["connected"]:
            assert c.stats()["queued_bytes"] <= limit + margin
            assert time.monotonic() < deadline, "the connection did not end"
            time.sleep(0.01)
        stats = c.stats()
        assert stats["queued_bytes"] <= limit + margin and stats["queue_overruns"] == 1
        assert not stats["reading_past_bound"]
        items = read_until_end_meta(c)
        got = [int(i.data[:8]) for i in items if isinstance(i, m.Message)]
        assert got == list(range(1, len(got) + 1)) and len(got) * 1000 > limit + margin // 2
        close = items[-1]
        assert (close.kind, close.code) == ("close", 1006)
        assert close.reason.startswith("the reader fell behind")

    def test_a_reader_that_keeps_the_queue_at_its_limit_gets_every_message_once(self, sim):
        # Reading stops and resumes again and again: a resume must not start a second read
        # while one is still under way (both would fill the same buffer).
        c = m.OkxConnector()
        c.limit_queue(16 * 1024)
        conn = open_connection(sim, c, "/raw")
        count = 60_000
        sim.soon(lambda: sim.sim.send_repeated(conn, count, lambda i: f"{i:08d}" + "x" * 92))
        got = [int(x[:8]) for x in read(c, count)]
        assert got == list(range(1, count + 1))
        c.disconnect()


def read_until_end_meta(connector):
    out, iterator = [], connector.wsrun(meta=True)
    guard = threading.Timer(READ_TIMEOUT, connector.disconnect)
    guard.start()
    try:
        while True:
            out.append(next(iterator))
    except RuntimeError:
        return out
    finally:
        guard.cancel()
