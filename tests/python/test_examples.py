"""The shipped examples, the demo and the type stub, run for real."""

import json
import os
import subprocess
import sys
import threading

import _corvane_ws_module as m
from conftest import READ_TIMEOUT, ROOT, load_example, make_sim, private_mexc


def test_stub_matches_the_module():
    allowlist = ROOT / "tests" / "python" / "stubtest_allowlist.txt"
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_corvane_ws_module",
                             "--allowlist", str(allowlist)],
                            capture_output=True, text=True, timeout=300, cwd="/")
    assert result.returncode == 0, result.stdout + result.stderr


def test_reconnect_loop_resubscribes_after_every_drop(certificates):
    reconnect = load_example("reconnect")
    with make_sim(certificates, rate=200) as sim:
        c = m.OkxConnector()
        c.subscribe(channel="tickers", inst_id="BTC-USDT")
        runs: dict[int, list[int]] = {}  # the data's numbers by connection

        def handle(message):
            value = json.loads(message)
            if "data" not in value:
                return
            run = runs.setdefault(len(sim.sim.connections), [])
            run.append(value["data"][0]["seqId"])
            if len(run) == 5:  # drop each connection after five data messages
                sim.abort(sim.sim.connections[-1].id)

        reconnect.stream_forever(c, sim.sim.url("/ws/v5/public"), handle, first_backoff=0.01,
                                 attempts=3)
        assert len(sim.sim.connections) == 3
        assert all(sim.frames(conn.id)[0] == '{"args":[{"channel":"tickers","instId":"BTC-USDT"}],'
                   '"op":"subscribe"}' for conn in sim.sim.connections)
        assert len(runs) == 3
        numbers = [seq for run in runs.values() for seq in run]
        # Each connection's numbers follow on; the feed goes on where it stopped, never again at 1.
        assert all(len(run) >= 5 and run == list(range(run[0], run[0] + len(run)))
                   for run in runs.values())
        assert numbers == sorted(set(numbers)) and runs[1][0] == 1


def test_reconnect_loop_retries_a_failed_connect(sim):
    """A private MEXC connect whose listen-key request fails is retried, not fatal."""
    reconnect = load_example("reconnect")
    c = private_mexc(sim)
    sim.sim.add_rest_fault("status500", "/api/v3/userDataStream", count=2)
    reports, streams = [], []

    def handle(message):
        streams.append(message)
        sim.close(sim.sim.connections[-1].id)

    reconnect.stream_forever(c, sim.sim.url("/ws"), handle, first_backoff=0.01, attempts=3,
                             report=reports.append)
    assert reports == ['connect failed: Request outcome unknown: HTTP 500: '
                       '{"code":500,"msg":"internal error"}'] * 2 + ["closed by the exchange: 1000"]
    assert "\n" not in "".join(reports)
    assert streams == ['{"id":0,"code":0,"msg":"PONG"}']


def test_reconnect_loop_says_why_and_stops_from_another_thread(sim):
    reconnect = load_example("reconnect")
    c = m.OkxConnector()
    c.subscribe(channel="tickers", inst_id="BTC-USDT")
    reports, stopping = [], threading.Event()
    reconnect.stream_forever(c, "wss://localhost:1/ws", print, first_backoff=0.01, attempts=2,
                             report=reports.append)
    assert reports == ["connect failed: Connection refused"] * 2
    loop = threading.Thread(target=reconnect.stream_forever,
                            args=(c, sim.sim.url("/ws/v5/public"), lambda message: None),
                            kwargs={"stopping": stopping})
    loop.start()
    sim.wait_connection(1)
    reconnect.stop(c, stopping)
    loop.join(READ_TIMEOUT)
    assert not loop.is_alive() and len(sim.sim.connections) == 1


def test_the_stub_is_found_outside_the_source_tree(tmp_path):
    """mypy finds the installed stub package, so a mistaken call is an error, not Any."""
    (tmp_path / "use.py").write_text(
        "import _corvane_ws_module as ws\n"
        "c = ws.OkxConnector()\n"
        "c.connect(1)\n"
        "m: ws.Message | ws.Event = next(c.wsrun(meta=True))\n")
    for example in ("reconnect.py", "order_outcome.py"):
        (tmp_path / example).write_text((ROOT / "examples" / example).read_text())
    done = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "use.py",
                           "reconnect.py", "order_outcome.py"],
                          capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert 'use.py:3: error: Argument 1 to "connect" of "BaseExchangeConnector" has ' \
           'incompatible type "int"; expected "str"' in done.stdout, done.stdout
    assert done.stdout.count("error:") == 1, done.stdout


def test_messages_are_typed_for_mypy_strict(tmp_path):
    """What the connectors and Reconnecting give is typed (text, bytes, a decoded MEXC push or
    a StreamEvent), so that mypy --strict checks the code that reads it."""
    (tmp_path / "use.py").write_text(
        "import corvane_ws as cw\n"
        "def read(okx: cw.OKX, mexc: cw.MEXC, stream: cw.Reconnecting) -> None:\n"
        "    for m in okx:\n"
        "        reveal_type(m)\n"
        "    reveal_type(mexc.recv(1))\n"
        "    for item in stream:\n"
        "        reveal_type(item)\n"
        "async def aread(okx: cw.AsyncOKX, stream: cw.AsyncReconnecting) -> None:\n"
        "    async for m in okx:\n"
        "        reveal_type(m)\n"
        "    reveal_type(await okx.recv(1))\n"
        "    async for item in stream:\n"
        "        reveal_type(item)\n")
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "use.py"], capture_output=True, text=True, timeout=300, cwd=tmp_path)
    revealed = [line for line in done.stdout.splitlines() if "Revealed type" in line]
    assert len(revealed) == 6, done.stdout
    for line in revealed:
        assert line.endswith('"str | bytes | dict[str | int, Any] | '
                             'corvane_ws._events.StreamEvent"'), line


def test_async_example_streams_both_exchanges_in_one_loop(certificates):
    with make_sim(certificates, rate=100) as sim:
        base = f"wss://localhost:{sim.sim.ws_port}"
        done = subprocess.run([sys.executable, str(ROOT / "examples" / "async_stream.py"),
                               "--okx", f"{base}/ws/v5", "--mexc", f"{base}/ws", "--seconds", "1"],
                              capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-2000:]
    assert "lost 0, out of order 0" in done.stdout and done.stdout.endswith("Result: ok\n")


def test_demo_runs_clean():
    env = {k: v for k, v in os.environ.items() if k != "SSL_CERT_FILE"}
    result = subprocess.run([sys.executable, str(ROOT / "scripts" / "demo.py"), "--seconds", "2"],
                            capture_output=True, text=True, timeout=120, cwd=ROOT, env=env)
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr[-2000:]
    assert "Result: nothing lost, nothing doubled, nothing out of order" in result.stdout
    assert result.stdout.endswith("Result: ok\n")  # the books after it


def test_books_example_resyncs_after_a_gap_and_a_drop_and_matches_the_simulator(tmp_path):
    """Both books go out of sync for the push left out and for the dropped connection, come
    back in step each time, and end equal to the simulator's, level by level."""
    env = {k: v for k, v in os.environ.items() if k != "SSL_CERT_FILE"}
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "books.py"), "--seconds", "0"],
                          capture_output=True, text=True, timeout=120, cwd=tmp_path, env=env)
    out = done.stdout
    assert done.returncode == 0, out[-3000:] + done.stderr[-2000:]
    for book in ("OKX  BTC-USDT", "MEXC BTCUSDT"):
        name, instrument = book.split()
        for reason in ("start", "gap", "reconnect"):
            assert f"{name:4} book_resync {instrument}: {reason}" in out, out[-3000:]
        assert f"{book}: ok (seq" in out, out[-3000:]
    assert out.endswith("Result: ok\n")


def test_books_example_finds_a_book_that_differs_from_the_simulators():
    """Its check is no formality: one size off, one level missing, or a book that never reaches
    the simulator's sequence number is a mismatch."""
    from decimal import Decimal
    books = load_example("books")
    reference = {"seq": 7, "bids": [["100.5", "2"], ["100", "1.5"]], "asks": [["101", "3"]]}

    class Control:
        def ask(self, method, target):
            return reference

    class Book:
        instrument, synced = "BTC-USDT", True

        def __init__(self, seq, bids):
            self.seq, self._bids = seq, bids

        def bids(self):
            return self._bids

        def asks(self):
            return [(Decimal("101"), Decimal("3"))]

    same = [(Decimal("100.5"), Decimal("2.0")), (Decimal("100"), Decimal("1.5"))]
    assert books.compare(Book(7, same), Control(), "okx", 1).startswith("ok (seq 7")
    off = [same[0], (Decimal("100"), Decimal("1.4"))]
    assert books.compare(Book(7, off), Control(), "okx", 1) == (
        "mismatch at seq 7: bids level 1: kept 100×1.4, the simulator's 100×1.5")
    assert books.compare(Book(7, same[:1]), Control(), "okx", 1).endswith(
        "bids 1 levels kept, the simulator has 2")
    assert books.compare(Book(8, same), Control(), "okx", 0.05).startswith(
        "mismatch: not at the simulator's sequence")


def test_order_outcome_resolved_on_both_exchanges_without_placing_twice():
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "order_outcome.py")],
                          capture_output=True, text=True, timeout=120, cwd=ROOT)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-2000:]
    assert done.stdout.count("the order exists, not placing it again") == 2
    assert done.stdout.endswith("Result: each order placed once\n")


def test_package_examples_run_and_every_example_passes_mypy_strict(tmp_path):
    """The package's examples, run outside the source tree against the simulator they start."""
    examples = [str(ROOT / "examples" / name) for name in ("quickstart.py", "quickstart_async.py")]
    for example in examples:
        done = subprocess.run([sys.executable, example], capture_output=True, text=True,
                              timeout=120, cwd=tmp_path)
        assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-2000:]
        assert done.stdout.endswith("Result: ok\n")
    every = sorted(str(path) for path in (ROOT / "examples").glob("*.py"))
    checked = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                              *every], capture_output=True, text=True, timeout=300,
                             cwd=tmp_path)
    assert checked.returncode == 0, checked.stdout


def test_package_passes_stubtest():
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "corvane_ws",
                             "--mypy-config-file", str(ROOT / "pyproject.toml"), "--allowlist",
                             str(ROOT / "tests" / "python" / "stubtest_package_allowlist.txt")],
                            capture_output=True, text=True, timeout=300, cwd="/")
    assert result.returncode == 0, result.stdout + result.stderr
