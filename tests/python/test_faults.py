"""A connector on its worst day: peers that vanish mid-frame, handshakes that break, floods while
Python is busy, and connect/disconnect churn. Nothing may hang, crash, leak or be lost."""

import ctypes
import json
import logging
import os
import socket
import subprocess
import sys
import threading
import time

import pytest

import _corvane_ws_module as m
from conftest import make_sim, open_connection, read, read_until_end
from corvane_ws.sim import OKX_TEST

FLOOD = int(os.environ.get("CORVANE_FLOOD", "1000000"))
STALL_S = int(os.environ.get("CORVANE_STALL_S", "0"))  # make soak: a 60 s stall


def rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def heap_in_use():
    """Bytes malloc has handed out and not had back, in all arenas: what the process holds,
    whatever free memory glibc keeps resident for reuse."""
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def thread_count():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("Threads:"))


def fd_count():
    return len(os.listdir("/proc/self/fd"))


def settled_thread_count(expected, limit=5.0):
    """The thread count once it is at most `expected`, or after `limit` seconds: a Python
    thread that join() has returned from may still be leaving the kernel for a moment."""
    deadline = time.monotonic() + limit
    while thread_count() > expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return thread_count()


class TestWebSocketFaults:
    @pytest.mark.parametrize("cut", ["close", "abort", "reset", "cut_mid_frame"])
    def test_every_way_a_peer_goes_ends_the_reader_after_the_queue(self, sim, cut):
        c = m.OkxConnector()
        conn = open_connection(sim, c, "/raw")
        sim.send_many(conn, ["a", "b", "c"])
        assert read(c, 1) == ["a"]
        getattr(sim, cut)(conn)
        assert read_until_end(c) == ["b", "c"]

    @pytest.mark.parametrize("behaviour", [b"", b"HTTP/1.1 400 Bad Request\r\n\r\n", b"\x16\x03\x01\x00\x05junk"])
    def test_broken_tls_handshake_fails_the_attempt(self, capfd, behaviour):
        with socket.socket() as server:
            server.bind(("127.0.0.1", 0))
            server.listen()
            server.settimeout(10)

            def answer():
                try:
                    peer, _ = server.accept()
                except OSError:
                    return
                with peer:
                    peer.recv(4096)
                    peer.sendall(behaviour)

            thread = threading.Thread(target=answer)
            thread.start()
            c = m.OkxConnector()
            c.connect(f"wss://localhost:{server.getsockname()[1]}/ws")
            assert read_until_end(c) == []
            thread.join(10)
        assert "Connection failed\n" in capfd.readouterr().out

    def test_frame_over_the_size_limit_fails_the_connection_not_the_process(self, sim):
        c = m.OkxConnector()
        conn = open_connection(sim, c, "/raw")
        sim.send(conn, "before")
        sim.send_repeated(conn, 1, lambda _: "x" * 33_000_000)
        assert read_until_end(c, timeout=30) == ["before"]
        open_connection(sim, c, "/raw")  # the connector is still usable

    def test_close_during_login(self, sim, capfd):
        c = m.OkxConnector(OKX_TEST.api_key, OKX_TEST.secret, OKX_TEST.passphrase)
        c.subscribe(channel="orders")
        before = len(sim.sim.connections)
        c.connect(sim.sim.url("/raw"))
        conn = sim.wait_connection(before + 1)
        assert '"op":"login"' in sim.wait_frames(conn, 1)[0]
        sim.close(conn)
        assert read_until_end(c) == []
        assert "WebSocket error" not in capfd.readouterr().err

    def test_disconnect_racing_the_open(self, sim):
        c = m.MexcConnector()
        c.subscribe(host="h", symbol="S")
        for _ in range(50):
            c.connect(sim.sim.url("/ws"))
            c.disconnect()
        read_until_end(c)  # returns at once: nothing is opening any more
        open_connection(sim, c, "/raw")

    def test_connector_freed_while_messages_stream_in(self, certificates):
        with make_sim(certificates, rate=20000) as sim:
            for _ in range(10):
                c = m.OkxConnector()
                c.subscribe(channel="trades", inst_id="BTC-USDT")
                c.subscribe(channel="books5", inst_id="BTC-USDT")
                connect_count = len(sim.sim.connections)
                c.connect(sim.sim.url("/ws/v5/public"))
                sim.wait_connection(connect_count + 1)
                read(c, 50)
                del c  # stops, joins and frees while frames keep coming


EXIT_WHILE_A_READER_WAITS = """
import socket, sys, threading
import _corvane_ws_module as m

server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen()  # the TCP connection is accepted by the kernel; the TLS handshake never answers
c = m.OkxConnector()
c.connect(f"wss://localhost:{server.getsockname()[1]}/ws")
waiting = threading.Event()
# Freed only once finalisation has begun, which makes it outlast the reader's wait slice.
ballast = [{"n": i} for i in range(2_000_000)]

def reader():
    waiting.set()
    try:
        next(c.wsrun())
    except RuntimeError:
        pass

sys.setswitchinterval(100)  # the reader keeps the GIL until it waits inside next()
threading.Thread(target=reader, daemon=True).start()
waiting.wait()
print("exiting", flush=True)
"""


EXIT_WHILE_ASYNC_READERS_END = """
import asyncio, sys, threading, time
import _corvane_ws_module as m

class SlowLoop(asyncio.SelectorEventLoop):
    # epoll_ctl releases the GIL; here long enough for finalisation to begin meanwhile
    def remove_reader(self, fd):
        time.sleep(0.05)
        return super().remove_reader(fd)

reading = threading.Event()
# Freed only once finalisation has begun, which makes it outlast the sleep above.
ballast = [{"n": i} for i in range(2_000_000)]

def worker(c):
    async def main():
        async for _ in c.wsrun_async():
            reading.set()
    asyncio.run(main(), loop_factory=SlowLoop)

for _ in range(3):
    c = m.OkxConnector()
    c.subscribe(channel="tickers", inst_id="BTC-USDT")
    c.connect(sys.argv[1])
    threading.Thread(target=worker, args=(c,), daemon=True).start()
reading.wait(10)
print("exiting", flush=True)
"""


class TestExit:
    def test_interpreter_exit_while_a_daemon_reader_waits(self):
        done = subprocess.run([sys.executable, "-c", EXIT_WHILE_A_READER_WAITS],
                              capture_output=True, text=True, timeout=60)
        assert (done.returncode, done.stdout) == (0, "exiting\n"), done.stderr

    def test_interpreter_exit_while_daemon_async_readers_end(self, sim):
        """The exit ends the readers while their threads still run Python; nothing of the
        module may call into Python on the way out of a reader, nor abort."""
        done = subprocess.run(
            [sys.executable, "-c", EXIT_WHILE_ASYNC_READERS_END, sim.sim.url("/ws/v5/public")],
            capture_output=True, text=True, timeout=60)
        assert (done.returncode, done.stdout.splitlines()[-1:]) == (0, ["exiting"]), done.stderr


BLOCKED_STDOUT = """
import fcntl, json, os, sys, time
import _corvane_ws_module as m

flags = fcntl.fcntl(1, fcntl.F_GETFL)
fcntl.fcntl(1, fcntl.F_SETFL, flags | os.O_NONBLOCK)
try:
    while True:  # fills the pipe, which the parent does not read yet
        os.write(1, b"filler\\n" * 585)
except BlockingIOError:
    pass
fcntl.fcntl(1, fcntl.F_SETFL, flags)

took = {}
def timed(name, call):
    start = time.monotonic()
    result = call()
    took[name] = time.monotonic() - start
    return result

timed("subscribe", lambda: m.OkxConnector().subscribe(channel="tickers", inst_id="BTC-USDT"))
c = m.MexcConnector()  # prints its ping line as the connection opens
c.subscribe(host="spot@public.aggre.deals.v3.api.pb", symbol="100ms", level="BTCUSDT")
timed("connect", lambda: c.connect(sys.argv[1]))
received = [next(c.wsrun()) for _ in range(2)]  # its subscription's reply and the PONG
timed("disconnect", c.disconnect)
print(json.dumps({"took": took, "received": len(received)}), file=sys.stderr, flush=True)
"""


class TestOutput:
    def test_a_stdout_nobody_reads_blocks_no_call_and_no_connection(self, sim):
        child = subprocess.Popen([sys.executable, "-c", BLOCKED_STDOUT, sim.sim.url("/ws")],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        timer = threading.Timer(30, child.kill)  # a call that blocks fails the test
        timer.start()
        try:
            report = child.stderr.readline()
            out, err = child.communicate(timeout=30)  # now the pipe drains
        finally:
            timer.cancel()
            timer.join()
        assert child.returncode == 0, err.decode()
        report = json.loads(report)
        assert report["received"] == 2
        assert report["took"]["subscribe"] < 1 and report["took"]["connect"] < 5
        assert report["took"]["disconnect"] < 5
        lines = [x for x in out.decode().splitlines() if x != "filler"]
        assert lines == ["Channel: tickers, inst_id: BTC-USDT", 'Пингуем {"method":"PING"}',
                         "Connection MEXC closed"]


    def test_lines_routed_to_logging_silenced_and_a_failing_callback(self, sim, caplog, capfd):
        c = m.MexcConnector()  # prints its ping line at open, on its connection's thread
        try:
            m.set_output(logging.getLogger("corvane_ws").log)
            with caplog.at_level(logging.INFO, logger="corvane_ws"):
                m.OkxConnector().subscribe(channel="tickers", inst_id="BTC-USDT")
                c.connect(sim.sim.url("/ws"))
                read(c, 1)  # the PONG: open
                c.disconnect()
                wait_for(lambda: len(caplog.records) == 3)
            assert [(r.levelno, r.getMessage(), r.threadName) for r in caplog.records][0] == (
                logging.INFO, "Channel: tickers, inst_id: BTC-USDT", threading.current_thread().name)
            assert [r.getMessage() for r in caplog.records[1:]] == [
                'Пингуем {"method":"PING"}', "Connection MEXC closed"]
            assert capfd.readouterr().out == ""
            m.set_output(None)
            m.OkxConnector().subscribe(channel="tickers", inst_id="BTC-USDT")
            assert capfd.readouterr() == ("", "")
            lines, unraisable = [], []

            def failing(level, line):
                lines.append(line)
                raise ValueError("the sink broke")

            m.set_output(failing)
            with pytest.MonkeyPatch.context() as patch:
                patch.setattr(sys, "unraisablehook", unraisable.append)
                for _ in range(2):
                    m.OkxConnector().subscribe(channel="trades", inst_id="X")
            assert lines == ["Channel: trades, inst_id: X"] * 2  # delivered after the failure too
            assert [str(u.exc_value) for u in unraisable] == ["the sink broke"]  # reported once
        finally:
            m.set_output()
        m.OkxConnector().subscribe(channel="tickers", inst_id="Y")
        assert capfd.readouterr().out == "Channel: tickers, inst_id: Y\n"


def seq_payload(seq):
    return '{"arg":{"channel":"trades","instId":"BTC-USDT"},"data":[{"seqId":%d,"px":"43000.1","sz":"0.01"}]}' % seq


class TestFlood:
    def test_a_million_messages_while_python_is_busy(self, sim):
        c = m.OkxConnector()
        conn = open_connection(sim, c, "/raw")
        start, start_heap = rss_bytes(), heap_in_use()
        sim.send_repeated(conn, FLOOD, seq_payload)  # the reader is not reading meanwhile
        sim.send(conn, "end")
        iterator = c.wsrun()
        guard = threading.Timer(max(120, FLOOD / 10_000), c.disconnect)
        guard.start()
        try:
            for expected in range(1, FLOOD + 1):
                message = next(iterator)
                if expected == 1:
                    peak, peak_heap = rss_bytes(), heap_in_use()
                assert message == seq_payload(expected)
            assert next(iterator) == "end"
        finally:
            guard.cancel()
        c.disconnect()
        after, after_heap = rss_bytes(), heap_in_use()
        print(f"flood: {FLOOD} delivered in order; RSS start {start >> 20} MiB, "
              f"queued {peak >> 20} MiB, drained {after >> 20} MiB; heap in use "
              f"{start_heap >> 20}, {peak_heap >> 20}, {after_heap >> 20} MiB")
        assert after_heap - start_heap < max((peak_heap - start_heap) // 20, 4 << 20)
        # glibc may keep up to 64 MiB (its highest trim threshold) free but resident, once
        # anything in the process has freed a large block
        assert after - start < max((peak - start) // 4, 16 << 20) + (64 << 20)


    def test_a_backlog_of_large_messages_gives_its_memory_back(self, sim_process):
        """Few messages, many bytes: once drained, the memory goes back to the system. The
        simulator runs in its own process, so that only the connector is measured."""
        count, size = 2000, 100_000
        c = m.OkxConnector()
        c.connect(sim_process.url("/raw"))
        wait_for(lambda: sim_process.control("GET", "/connections"))
        conn = sim_process.control("GET", "/connections")[-1]["conn"]
        start = rss_bytes()
        sim_process.control("POST", f"/flood?conn={conn}&count={count}&size={size}")
        assert [int(x[:8]) for x in read(c, count)] == list(range(1, count + 1))
        c.disconnect()
        after = rss_bytes()
        print(f"large backlog: {count} x {size} B; RSS {start >> 20} -> {after >> 20} MiB")
        assert after - start < 64 << 20


    @pytest.mark.skipif(STALL_S == 0, reason="a long run: make soak")
    def test_a_stalled_reader_of_a_6_mb_s_feed_stays_within_the_bound(self, sim_process):
        """A reader that stops for a minute while an OKX stream brings 6 MB/s: the connection
        may read past limit_queue by its margin only, so the process grows by no more than
        that (plus what the allocator keeps around the payloads). The simulator runs in its own
        process, so that only the connector is measured."""
        limit, margin = 8 << 20, 16 << 20
        c = m.OkxConnector()
        c.limit_queue(limit)
        c.connect(sim_process.url("/raw"))
        wait_for(lambda: sim_process.control("GET", "/connections"))
        conn = sim_process.control("GET", "/connections")[-1]["conn"]
        start = rss_bytes()
        rate = 6000  # messages of 1000 B a second: 6 MB/s
        sim_process.control(
            "POST", f"/flood?conn={conn}&count={rate * STALL_S}&size=1000&rate={rate}")
        peak, peak_queued, began = start, 0, time.monotonic()
        while time.monotonic() - began < STALL_S:  # the reader does not read meanwhile
            peak, peak_queued = max(peak, rss_bytes()), max(peak_queued, c.stats()["queued_bytes"])
            time.sleep(0.1)
        stats = c.stats()
        c.disconnect()
        print(f"stall: {STALL_S} s at 6 MB/s against limit_queue {limit >> 20} MiB: queued at "
              f"most {peak_queued >> 20} MiB, RSS {start >> 20} -> {peak >> 20} MiB at most; "
              f"{stats['received_bytes'] >> 20} MiB received, overruns "
              f"{stats.get('queue_overruns')}")
        assert peak_queued <= limit + margin
        # each payload's heap block and its entry in the queue: a tenth more at 1000 B
        assert peak - start < (limit + margin) * 11 // 10 + (8 << 20)


class TestChurn:
    def test_connect_disconnect_cycles_leak_nothing(self, sim_process):
        """The simulator runs in its own process here, so that only the connector is measured.
        MEXC's connector, since OKX's paces its connects to 3 a second."""
        c = m.MexcConnector()
        c.subscribe(host="spot@public.aggre.deals.v3.api.pb@100ms", symbol="BTCUSDT")
        url = sim_process.url("/ws")

        def cycle(i):
            c.connect(url)
            # Open and acknowledged (the last cycle's PONG may come first).
            while json.loads(read(c, 1)[0])["msg"] == "PONG":
                pass
            if i % 3 != 2:
                last = sim_process.control("GET", "/connections")[-1]["conn"]
                sim_process.control("POST", f"/{'close' if i % 3 == 0 else 'abort'}?conn={last}")
                read_until_end(c)
            c.disconnect()

        for i in range(30):  # warm up allocator pools
            cycle(i)
        threads, fds, rss = thread_count(), fd_count(), rss_bytes()
        cycles = int(os.environ.get("CORVANE_CHURN_CYCLES", "500"))
        for i in range(cycles):
            cycle(i)
        grown = rss_bytes() - rss
        after = settled_thread_count(threads)
        print(f"churn: {cycles} cycles; threads {threads}->{after}, fds {fds}->{fd_count()}, "
              f"RSS +{grown >> 10} KiB")
        # The baseline may still count a thread of the warm-up's last cycle on its way out.
        assert after <= threads
        assert fd_count() <= fds
        assert grown < 4 << 20

def wait_for(condition, limit=10.0):
    deadline = time.monotonic() + limit
    while not condition():
        assert time.monotonic() < deadline, "not within the time limit"
        time.sleep(0.01)
