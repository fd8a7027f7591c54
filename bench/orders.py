"""The order round trip: from the call that places an order to its acknowledgement, corvane-ws
against the clients a trader would otherwise use, each kept alive and sending the same bytes.

MEXC REST place-to-ack: corvane-ws, http.client and aiohttp, each signing the same way.
OKX WebSocket order: corvane-ws against picows sending the same JSON and waiting for its reply.
Both on loopback and through bench/delay_proxy.py adding DELAY_MS each way. Every client runs
ROUNDS rounds, each in a process of its own: connect, then ORDERS orders one after another; the
first order after connect is reported on its own row.

python bench/orders.py [--rounds R] [--orders N]     (or: make bench BENCH_ARGS="--only orders")
"""

import argparse
import asyncio
import base64
import hashlib
import hmac
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

from results_page import put_results

ROOT = Path(__file__).resolve().parents[1]
RESULTS = ROOT / "bench" / "results"
DELAY_MS = 10
MEXC_CLIENTS = ["corvane", "http.client", "aiohttp"]
OKX_CLIENTS = ["corvane", "picows"]
LABELS = {"corvane": "corvane-ws", "http.client": "http.client (kept alive)",
          "aiohttp": "aiohttp (kept alive)", "picows": "picows"}
MEXC_KEY, MEXC_SECRET = "mexc-test-key", "mexc-test-secret"
OKX_KEY, OKX_SECRET, OKX_PASS = "okx-test-key", "okx-test-secret", "okx-test-passphrase"
BTC_USDT = 10459  # its instIdCode at the simulator


def mexc_body(n: int) -> str:
    """The signed body corvane-ws sends for the same order: parameters in key order, the
    signature among them in its place."""
    params = {"price": "1", "quantity": "1", "side": "BUY", "symbol": "BTCUSDT",
              "timestamp": str(int(time.time() * 1000)), "type": "LIMIT"}
    text = "&".join(f"{k}={v}" for k, v in sorted(params.items()))
    params["signature"] = hmac.new(MEXC_SECRET.encode(), text.encode(), hashlib.sha256).hexdigest()
    return "&".join(f"{k}={v}" for k, v in sorted(params.items()))


def okx_order(n: int) -> str:
    return json.dumps({"args": [{"ccy": "", "instId": "BTC-USDT", "instIdCode": BTC_USDT,
                                 "ordType": "limit", "px": "1", "side": "buy", "sz": "1",
                                 "tdMode": "cash"}], "id": f"o{n}", "op": "order"},
                      separators=(",", ":"))


def okx_login_sign(timestamp: str) -> str:
    digest = hmac.new(OKX_SECRET.encode(), (timestamp + "GET/users/self/verify").encode(),
                      hashlib.sha256).digest()
    return base64.b64encode(digest).decode()


def timed(call) -> float:
    start = time.perf_counter_ns()
    call()
    return (time.perf_counter_ns() - start) / 1000.0


# ---- the clients: each prints its round trips (microseconds), the first after connect first ----

def mexc_corvane(rest_port: int, ws_port: int, orders: int) -> list[float]:
    import _corvane_ws_module as ws

    c = ws.MexcConnector("", MEXC_KEY, MEXC_SECRET)
    c.rest_url = f"https://localhost:{rest_port}"
    c.connect(f"wss://localhost:{ws_port}/ws")  # obtains the listen key over REST
    deadline = time.monotonic() + 10
    while not c.stats()["connected"]:  # open, as the OKX clients are once logged in
        if time.monotonic() > deadline:
            raise TimeoutError("the MEXC stream did not open")
        time.sleep(0.001)
    samples = []
    for n in range(orders):
        samples.append(timed(lambda: json.loads(c.place_order(
            ord_id=str(n), inst_id="BTCUSDT", side="BUY", sz="1", px="1", tdMode="LIMIT"))["orderId"]))
    c.disconnect()
    return samples


def mexc_http_client(rest_port: int, ws_port: int, orders: int) -> list[float]:
    import http.client
    import ssl

    conn = http.client.HTTPSConnection("localhost", rest_port,
                                       context=ssl.create_default_context(), timeout=10)
    conn.connect()
    headers = {"X-MEXC-APIKEY": MEXC_KEY, "Content-Type": "application/json"}

    def place(n):
        conn.request("POST", "/api/v3/order", mexc_body(n), headers)
        json.loads(conn.getresponse().read())["orderId"]

    samples = [timed(lambda: place(n)) for n in range(orders)]
    conn.close()
    return samples


def mexc_aiohttp(rest_port: int, ws_port: int, orders: int) -> list[float]:
    import ssl

    import aiohttp

    async def run():
        base = f"https://localhost:{rest_port}"
        headers = {"X-MEXC-APIKEY": MEXC_KEY, "Content-Type": "application/json"}
        async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(
                ssl=ssl.create_default_context(), limit=1)) as session:
            async with session.get(base + "/api/v3/ping") as reply:  # connect: aiohttp has no other way
                await reply.read()
            samples = []
            for n in range(orders):
                start = time.perf_counter_ns()
                async with session.post(base + "/api/v3/order", data=mexc_body(n),
                                        headers=headers) as reply:
                    json.loads(await reply.read())["orderId"]
                samples.append((time.perf_counter_ns() - start) / 1000.0)
            return samples

    return asyncio.run(run())


def okx_corvane(rest_port: int, ws_port: int, orders: int) -> list[float]:
    import _corvane_ws_module as ws

    c = ws.OkxConnector(OKX_KEY, OKX_SECRET, OKX_PASS)
    c.connect(f"wss://localhost:{ws_port}/ws/v5/private")
    c.load_instruments(inst_type="SPOT")  # every code ready before the first order
    it = c.wsrun()
    next(m for m in it if '"event":"login"' in m)

    def place(n):
        c.place_order(ord_id=f"o{n}", inst_id="BTC-USDT", side="buy", px="1", sz="1",
                      tdMode="cash", ordType="limit")
        mark = f'"id":"o{n}"'
        next(m for m in it if mark in m)

    samples = [timed(lambda: place(n)) for n in range(orders)]
    c.disconnect()
    return samples


def okx_picows(rest_port: int, ws_port: int, orders: int) -> list[float]:
    import ssl

    from picows import WSListener, WSMsgType, ws_connect

    class Listener(WSListener):
        def __init__(self):
            self.replies: asyncio.Queue = asyncio.Queue()

        def on_ws_frame(self, transport, frame):
            if frame.msg_type == WSMsgType.TEXT:
                self.replies.put_nowait(frame.get_payload_as_ascii_text())

    async def run():
        transport, listener = await ws_connect(Listener, f"wss://localhost:{ws_port}/ws/v5/private",
                                               ssl_context=ssl.create_default_context())
        ts = str(int(time.time()))
        transport.send(WSMsgType.TEXT, json.dumps({"op": "login", "args": [{
            "apiKey": OKX_KEY, "passphrase": OKX_PASS, "timestamp": ts,
            "sign": okx_login_sign(ts)}]}).encode())
        while '"event":"login"' not in await listener.replies.get():
            pass
        samples = []
        for n in range(orders):
            start = time.perf_counter_ns()
            transport.send(WSMsgType.TEXT, okx_order(n).encode())
            mark = f'"id":"o{n}"'
            while mark not in await listener.replies.get():
                pass
            samples.append((time.perf_counter_ns() - start) / 1000.0)
        transport.disconnect()
        await transport.wait_disconnected()
        return samples

    return asyncio.run(run())


CLIENTS = {("mexc", "corvane"): mexc_corvane, ("mexc", "http.client"): mexc_http_client,
           ("mexc", "aiohttp"): mexc_aiohttp, ("okx", "corvane"): okx_corvane,
           ("okx", "picows"): okx_picows}


# ---- the run ----

def start(command: list[str]) -> tuple[subprocess.Popen, dict]:
    process = subprocess.Popen(command, cwd=ROOT, stdout=subprocess.PIPE, text=True)
    return process, json.loads(process.stdout.readline())


def stop(process: subprocess.Popen) -> None:
    process.terminate()
    try:
        process.wait(10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def run_round(exchange: str, client: str, rest_port: int, ws_port: int, orders: int,
              env: dict) -> list[float]:
    done = subprocess.run([sys.executable, __file__, "--client", exchange, client, str(rest_port),
                           str(ws_port), str(orders)], capture_output=True, text=True, env=env,
                          timeout=600)
    if done.returncode != 0:
        raise RuntimeError(f"{exchange} {client} failed: {done.stderr[-2000:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def measure(rounds: int, orders: int, log) -> dict:
    ca = ROOT / "build" / "bench" / "orders-ca.pem"
    ca.parent.mkdir(parents=True, exist_ok=True)
    sim, ready = start([sys.executable, "-m", "corvane_ws.sim", "--rate", "0",
                        "--ca-file", str(ca)])
    env = dict(os.environ, SSL_CERT_FILE=str(ca))
    raw: dict = {}
    proxy = None
    try:
        proxy, delayed = start([sys.executable, str(ROOT / "bench" / "delay_proxy.py"),
                                str(DELAY_MS), str(ready["rest_port"]), str(ready["ws_port"])])
        links = {"loopback": (ready["rest_port"], ready["ws_port"]),
                 f"+{DELAY_MS} ms each way": (delayed[str(ready["rest_port"])],
                                              delayed[str(ready["ws_port"])])}
        for link, (rest_port, ws_port) in links.items():
            for (exchange, client) in CLIENTS:  # the simulator's own first calls, not measured
                run_round(exchange, client, rest_port, ws_port, 5, env)
            for (exchange, client) in CLIENTS:
                per_round = []
                for _ in range(rounds):
                    per_round.append(run_round(exchange, client, rest_port, ws_port, orders, env))
                raw.setdefault(link, {}).setdefault(exchange, {})[client] = per_round
                later = [s for r in per_round for s in r[1:]]
                log(f"{link:<18} {exchange} {client:<12} first {statistics.median(r[0] for r in per_round):8.0f} us"
                    f"  p50 {percentile(later, 0.5):8.0f} us  p99 {percentile(later, 0.99):8.0f} us")
    finally:
        if proxy is not None:
            stop(proxy)
        stop(sim)
    return raw


def table(raw: dict) -> str:
    lines = ["| Link | Order | Client | first after connect ms | p50 ms | p99 ms | corvane-ws p50 ÷ this "
             "| first ÷ p50 |", "|---|---|---|---:|---:|---:|---:|---:|"]
    names = {"mexc": "MEXC REST place → ack", "okx": "OKX WebSocket order → reply"}
    for link, exchanges in raw.items():
        for exchange, clients in exchanges.items():
            ours = None
            for client, rounds in clients.items():
                later = [s for r in rounds for s in r[1:]]
                first = statistics.median(r[0] for r in rounds)
                p50, p99 = percentile(later, 0.5), percentile(later, 0.99)
                ours = p50 if client == "corvane" else ours
                lines.append(f"| {link} | {names[exchange]} | {LABELS[client]} | {first / 1000:.2f} "
                             f"| {p50 / 1000:.2f} | {p99 / 1000:.2f} | {ours / p50:.2f}x | {first / p50:.2f}x |")
    return "\n".join(lines)


def main(argv: list[str] | None = None, machine: str = "") -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--orders", type=int, default=60, help="orders per round")
    p.add_argument("--no-docs", "--no-readme", dest="no_docs", action="store_true",
                   help="leave docs/benchmarks.md as it is")
    p.add_argument("--client", nargs=5, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.client:
        exchange, client, rest_port, ws_port, orders = args.client
        print(json.dumps(CLIENTS[(exchange, client)](int(rest_port), int(ws_port), int(orders))))
        return 0
    started = time.time()
    raw = measure(args.rounds, args.orders, lambda line: print(line, flush=True))
    header = (f"Measured {time.strftime('%Y-%m-%d')}{' on ' + machine if machine else ''}, against the "
              f"simulator (python -m corvane_ws.sim) on the same machine: {args.rounds} rounds per client, "
              f"each a new process that connects and places {args.orders} orders one after another; p50 and "
              f"p99 over the {args.rounds * (args.orders - 1)} orders after the first, the first after "
              f"connect as the median of the rounds' firsts; {(time.time() - started) / 60:.1f} minutes.")
    block = f"{header}\n\n{table(raw)}"
    RESULTS.mkdir(parents=True, exist_ok=True)
    (RESULTS / "orders.md").write_text(f"# Order round trip\n\n{block}\n")
    (RESULTS / "orders.json").write_text(json.dumps(raw, indent=1))
    if not args.no_docs:
        put_results("orders", block)
    print(block)
    return 0


if __name__ == "__main__":
    sys.exit(main())
