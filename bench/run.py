"""make bench: throughput and latency of _corvane_ws_module against the Python WebSocket clients
a trader would pick, and against two ceilings, all measured in this one invocation.

Every client runs in its own process against the same C++ push server (TLS on loopback).
Throughput: medians of RUNS runs per client and size. Latency: paced runs, one-way, from the
server's send stamp to the client's receive. Writes bench/results/results.md, throughput.png
and raw.json, and puts the table into docs/benchmarks.md between the bench markers. Then the order
round trip (bench/orders.py: bench/results/orders.md, and docs/benchmarks.md between the orders
markers).

--only orders runs the order round trip alone: make bench BENCH_ARGS="--only orders"; --only books
the order books alone (bench/books.py, as make bench-books).
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

from results_page import put_results

ROOT = Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "bench"
RESULTS = ROOT / "bench" / "results"
SIZES = [(176, 1_000_000, "bbo"), (415, 1_000_000, "books5"), (2048, 200_000, "2 KB"),
         (22528, 20_000, "400-level snapshot")]
PEERS = ["picows", "websockets-async", "websockets-sync", "aiohttp", "websocket-client"]
THROUGHPUT_CLIENTS = ["corvane", "corvane-async", "corvane-meta", *PEERS, "cpp-ceiling",
                      "path-ceiling", "handoff"]
ONLY_AT = {"corvane-meta": (176, 415)}  # sizes a client runs at; the others run at every size
LATENCY_CLIENTS = ["corvane", "corvane-async", *PEERS]
REALISTIC_CLIENTS = ["corvane", "corvane-async", *PEERS]
REALISTIC_RUNS = 3  # and half of each count: the column shows where parsing takes the time
# The slowest peers read a fraction of each count, so that make bench stays near 15 minutes; a
# rate needs no more than that to settle.
COUNT_SCALE = {"websocket-client": 0.15, "websockets-sync": 0.15, "websockets-async": 0.3,
               "aiohttp": 0.5}
# make bench-package: the corvane_ws package read against the module it wraps, run by run.
PACKAGE_SIZES = [(176, 1_000_000, "bbo"), (2048, 200_000, "2 KB")]
PACKAGE_PAIRS = [("corvane", "package"), ("corvane", "package-unbounded"),
                 ("corvane-async", "package-async"), ("corvane-drain", "package-drain")]
# A drain run queues its whole stream first (within the package's default bound), then reads it.
DRAIN_COUNT = {176: 300_000, 2048: 30_000}
PACKAGE_BUDGET = {176: 0.10, 2048: 0.02}  # what reading through the package may cost
LABELS = {"corvane": "corvane-ws", "corvane-async": "corvane-ws (asyncio)",
          "corvane-meta": "corvane-ws (meta)",
          "cpp-ceiling": "C++ transport ceiling", "path-ceiling": "C++ module path ceiling",
          "handoff": "hand-off ceiling", "websockets-async": "websockets (asyncio)",
          "websockets-sync": "websockets (sync)", "websocket-client": "websocket-client+wsaccel",
          "package": "corvane_ws.OKX", "package-async": "corvane_ws.AsyncOKX",
          "package-unbounded": "corvane_ws.OKX, limit_queue=0",
          "corvane-drain": "corvane-ws, queued stream", "package-drain": "corvane_ws.OKX, queued stream"}


def make_certificates() -> Path:
    import trustme

    certs = BUILD / "certs"
    certs.mkdir(parents=True, exist_ok=True)
    ca = trustme.CA()
    cert = ca.issue_cert("localhost", "127.0.0.1")
    ca.cert_pem.write_to_path(str(certs / "ca.pem"))
    cert.private_key_pem.write_to_path(str(certs / "key.pem"))
    cert.cert_chain_pems[0].write_to_path(str(certs / "cert.pem"))
    return certs


def run_client(client: str, port: int, size: int, count: int, rate: int = 0,
               realistic: bool = False) -> dict:
    env = dict(os.environ, PYTHONPATH=str(BUILD / "bench"))
    if client in ("cpp-ceiling", "path-ceiling"):
        program = "ceiling_client" if client == "cpp-ceiling" else "path_ceiling"
        command = [str(BUILD / "bench" / program), "localhost", str(port), str(size), str(count)]
    else:
        url = f"wss://localhost:{port}/?size={size}&count={count}" + (f"&rate={rate}" if rate else "")
        command = [sys.executable, str(ROOT / "bench" / "clients.py"), client, url, str(size), str(count)]
        if rate:
            command.append("--latency")
        if realistic:
            command.append("--realistic")
    done = subprocess.run(command, capture_output=True, text=True, env=env, timeout=900)
    if done.returncode != 0:
        raise RuntimeError(f"{client} failed: {done.stderr[-2000:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def summarise(samples: list[dict]) -> dict:
    med = lambda key: statistics.median(s[key] for s in samples)  # noqa: E731
    rates = [s["messages"] / s["seconds"] for s in samples if s["seconds"] > 0]
    return {"msgs_per_s": statistics.median(rates),
            "mb_per_s": statistics.median(s["bytes"] / s["seconds"] / 1e6 for s in samples if s["seconds"] > 0),
            "cpu_s_per_million": statistics.median(s["cpu"] / s["messages"] * 1e6 for s in samples),
            "peak_rss_mb": max(s["maxrss_kb"] for s in samples) / 1024,
            "lost": sum(s["lost"] for s in samples), "out_of_order": sum(s["out_of_order"] for s in samples),
            "runs": len(samples), **({k: med(k) for k in ("p50_us", "p99_us", "p999_us") if k in samples[0]})}


def measure(port: int, runs: int, scale: float, latency_seconds: float, log) -> dict:
    raw = {"throughput": {}, "latency": {}, "realistic": {}}
    for run in range(runs):
        for size, count, _ in SIZES:
            for client in THROUGHPUT_CLIENTS:
                if size not in ONLY_AT.get(client, (size,)):
                    continue
                n = max(1000, int(count * scale * COUNT_SCALE.get(client, 1.0)))
                result = run_client(client, port, size, n)
                raw["throughput"].setdefault(f"{size}", {}).setdefault(client, []).append(result)
                log(f"run {run + 1}/{runs} {size:>5} B {client:<17} {result['messages'] / result['seconds']:>12,.0f} msg/s")
    for run in range(REALISTIC_RUNS):
        for size, count, _ in SIZES:
            for client in REALISTIC_CLIENTS:
                n = max(1000, int(count * scale * 0.5 * COUNT_SCALE.get(client, 1.0)))
                result = run_client(client, port, size, n, realistic=True)
                raw["realistic"].setdefault(f"{size}", {}).setdefault(client, []).append(result)
                log(f"realistic {run + 1}/{REALISTIC_RUNS} {size:>5} B {client:<17} "
                    f"{result['messages'] / result['seconds']:>12,.0f} msg/s")
    for rate in (3000, 10000):
        for client in LATENCY_CLIENTS:
            result = run_client(client, port, 415, int(rate * latency_seconds), rate)
            raw["latency"].setdefault(f"{rate}", {}).setdefault(client, []).append(result)
            log(f"latency {rate}/s {client:<17} p50 {result['p50_us']:.0f} us  p99 {result['p99_us']:.0f} us")
    return raw


def measure_package(port: int, runs: int, scale: float, log) -> dict:
    """Module and package alternately, so that both see the same machine."""
    raw: dict = {}
    for run in range(runs):
        for size, count, _ in PACKAGE_SIZES:
            for client in dict.fromkeys(c for pair in PACKAGE_PAIRS for c in pair):
                n = DRAIN_COUNT[size] if client.endswith("-drain") else count
                result = run_client(client, port, size, max(1000, int(n * scale)))
                raw.setdefault(f"{size}", {}).setdefault(client, []).append(result)
                log(f"run {run + 1}/{runs} {size:>5} B {client:<17} "
                    f"{result['messages'] / result['seconds']:>12,.0f} msg/s")
    return raw


def package_table(raw: dict) -> str:
    # Ratios are medians of each run's own ratio: the two readers of a run ran back to back, so
    # the load of a shared machine, which drifts between runs, cancels out.
    lines = ["| Size | Reader | msg/s | CPU s / 1M msgs | reader thread CPU s / 1M msgs | "
             "package ÷ module, msg/s | package ÷ module, reader CPU | cost allowed | "
             "lost / reordered |",
             "|---|---|---:|---:|---:|---:|---:|---:|---:|"]
    reader = lambda samples: statistics.median(  # noqa: E731
        s["reader_cpu"] / s["messages"] * 1e6 for s in samples)
    paired = lambda a, b, f: statistics.median(f(y) / f(x) for x, y in zip(a, b))  # noqa: E731
    for size, _, name in PACKAGE_SIZES:
        printed = set()
        samples = raw.get(f"{size}", {})
        per = {c: dict(summarise(s), reader=reader(s)) for c, s in samples.items()}
        for module, wrapped in PACKAGE_PAIRS:
            if module not in per or wrapped not in per:
                continue
            m, p = per[module], per[wrapped]
            rate_ratio = paired(samples[module], samples[wrapped],
                                lambda r: r["messages"] / r["seconds"])
            cpu_ratio = paired(samples[module], samples[wrapped],
                               lambda r: r["reader_cpu"] / r["messages"])
            for client, r in ((module, m), (wrapped, p)):
                if client in printed:
                    continue
                printed.add(client)
                is_package = client == wrapped
                rate = f"{rate_ratio:.3f}×" if is_package else "—"
                cpu = f"{cpu_ratio:.3f}×" if is_package else "—"
                allowed = f"{PACKAGE_BUDGET[size]:.0%}" if is_package else "—"
                lines.append(f"| {size} B ({name}) | {LABELS.get(client, client)} | "
                             f"{r['msgs_per_s']:,.0f} | {r['cpu_s_per_million']:.2f} | "
                             f"{r['reader']:.3f} | {rate} | "
                             f"{cpu} | {allowed} | {r['lost']} / {r['out_of_order']} |")
    return "\n".join(lines)


def run_package(args) -> int:
    certs = make_certificates()
    os.environ["SSL_CERT_FILE"] = str(certs / "ca.pem")
    os.environ["PYTHONPATH"] = str(ROOT)  # the package as it is in this tree
    server = subprocess.Popen([str(BUILD / "bench" / "push_server"), str(certs / "cert.pem"),
                               str(certs / "key.pem")], stdout=subprocess.PIPE, text=True)
    started = time.time()
    try:
        port = int(server.stdout.readline())
        raw = measure_package(port, args.runs, args.scale, lambda line: print(line, flush=True))
    finally:
        server.terminate()
        server.wait()
    table = package_table(raw)
    header = (f"Measured {time.strftime('%Y-%m-%d')} on {machine()}. Median of {args.runs} runs per "
              f"reader, module and package back to back in each run; the ratios are medians of each "
              f"run's own ratio. A flood row reads while the server sends; a queued-stream row "
              f"reads a stream queued whole before its first read (300,000 messages of 176 B, "
              f"30,000 of 2 KB, within the package's default bound), so that only the read path "
              f"is timed; {(time.time() - started) / 60:.1f} minutes.")
    RESULTS.mkdir(parents=True, exist_ok=True)
    (RESULTS / "package.md").write_text(f"# corvane_ws package against the module\n\n{header}\n\n{table}\n")
    (RESULTS / "package_raw.json").write_text(json.dumps(raw, indent=1))
    if not args.no_docs:
        put_results("bench-package", f"{header}\n\n{table}")
    print(table)
    return 0


def tables(raw: dict) -> tuple[str, dict]:
    summary = {kind: {key: {c: summarise(s) for c, s in per.items()} for key, per in raw[kind].items()}
               for kind in ("throughput", "latency", "realistic")}
    lines = ["| Size | Client | msg/s | MB/s | CPU s / 1M msgs | corvane-ws CPU ÷ this | peak RSS MB "
             "| lost / reordered | corvane-ws ÷ this | msg/s with json.loads | corvane-ws ÷ this, with json.loads |",
             "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for size, _, name in SIZES:
        per = summary["throughput"].get(f"{size}", {})
        parsed = summary["realistic"].get(f"{size}", {})
        ours = per.get("corvane", {}).get("msgs_per_s", 0)
        ours_cpu = per.get("corvane", {}).get("cpu_s_per_million", 0)
        ours_parsed = parsed.get("corvane", {}).get("msgs_per_s", 0)
        for client in THROUGHPUT_CLIENTS:
            if client not in per:
                continue
            r = per[client]
            ratio = "—" if client == "corvane" else f"{ours / r['msgs_per_s']:.2f}×"
            cpu_ratio = "—" if client == "corvane" else f"{ours_cpu / r['cpu_s_per_million']:.2f}×"
            p = parsed.get(client)
            with_loads = f"{p['msgs_per_s']:,.0f}" if p else "—"
            ratio_loads = (f"{ours_parsed / p['msgs_per_s']:.2f}×" if p and client != "corvane"
                           else "—")
            lines.append(f"| {size} B ({name}) | {LABELS.get(client, client)} | {r['msgs_per_s']:,.0f} | "
                         f"{r['mb_per_s']:,.1f} | {r['cpu_s_per_million']:.2f} | {cpu_ratio} | "
                         f"{r['peak_rss_mb']:.0f} | "
                         f"{r['lost'] + (p['lost'] if p else 0)} / "
                         f"{r['out_of_order'] + (p['out_of_order'] if p else 0)} | {ratio} | "
                         f"{with_loads} | {ratio_loads} |")
    lines += ["", "| Rate | Client | p50 µs | p99 µs | p99.9 µs | lost / reordered |", "|---|---|---:|---:|---:|---:|"]
    for rate, per in summary["latency"].items():
        for client in LATENCY_CLIENTS:
            if client in per:
                r = per[client]
                lines.append(f"| {int(rate):,}/s | {LABELS.get(client, client)} | {r['p50_us']:.0f} | "
                             f"{r['p99_us']:.0f} | {r['p999_us']:.0f} | {r['lost']} / {r['out_of_order']} |")
    return "\n".join(lines), summary


def decode_table(decoding: dict) -> str:
    lines = [f"| MEXC frame | decode_mexc ns | protobuf {decoding['protobuf']} parse ns | "
             "parse + every field ns | parse ÷ decode_mexc | parse + every field ÷ decode_mexc |",
             "|---|---:|---:|---:|---:|---:|"]
    for frame, r in decoding["ns_per_frame"].items():
        ours, parse, full = r["decode_mexc"], r["protobuf parse"], r["protobuf parse + every field"]
        lines.append(f"| {frame} | {ours:,.0f} | {parse:,.0f} | {full:,.0f} | {parse / ours:.2f}× | "
                     f"{full / ours:.2f}× |")
    return "\n".join(lines)


def chart(summary: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(SIZES), figsize=(4.2 * len(SIZES), 4.2))
    for ax, (size, _, name) in zip(axes, SIZES):
        per = summary["throughput"].get(f"{size}", {})
        clients = [c for c in THROUGHPUT_CLIENTS if c in per]
        values = [per[c]["msgs_per_s"] / 1000 for c in clients]
        colours = ["#d62728" if c.startswith("corvane") else "#7f7f7f" if c.endswith("ceiling") or c == "handoff" else "#1f77b4"
                   for c in clients]
        ax.barh([LABELS.get(c, c) for c in clients], values, color=colours)
        ax.invert_yaxis()
        ax.set_title(f"{size} B ({name})")
        ax.set_xlabel("thousand messages / s")
        if ax is not axes[0]:
            ax.set_yticklabels([])
    fig.suptitle("Messages into Python per second (median of runs; grey: ceilings)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def machine() -> str:
    import importlib.metadata as md

    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    versions = ", ".join(f"{p} {md.version(p)}" for p in ("picows", "websockets", "aiohttp", "websocket-client",
                                                           "wsaccel", "uvloop"))
    return (f"{os.cpu_count()} cores ({cpu}), {platform.platform()}, Python {platform.python_version()}; "
            f"{versions}")


def render() -> int:
    """The tables of the last run again, from its raw results (the measuring header kept)."""
    raw = json.loads((RESULTS / "raw.json").read_text())["raw"]
    header = (RESULTS / "results.md").read_text().split("\n\n")[1]
    table, summary = tables(raw)
    table += "\n\n" + decode_table(raw["decode_mexc"])
    (RESULTS / "results.md").write_text(f"# Benchmark results\n\n{header}\n\n{table}\n\n![throughput](throughput.png)\n")
    put_results("bench", f"{header}\n\n{table}")
    print(table)
    return 0


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--runs", type=int, default=5)
    p.add_argument("--scale", type=float, default=1.0, help="fraction of the message counts")
    p.add_argument("--latency-seconds", type=float, default=30.0)
    p.add_argument("--no-docs", "--no-readme", dest="no_docs", action="store_true",
                   help="leave docs/benchmarks.md as it is")
    p.add_argument("--render", action="store_true",
                   help="only redraw the tables and chart from bench/results/raw.json")
    p.add_argument("--only", choices=["orders", "books"], help="run only this section")
    p.add_argument("--package", action="store_true",
                   help="only the corvane_ws package against the module (make bench-package)")
    args = p.parse_args()
    if args.render:
        return render()
    if args.only == "orders":
        return run_orders(args.no_docs)
    if args.only == "books":
        import books

        return books.main(["--no-docs"] if args.no_docs else [])
    if args.package:
        return run_package(args)
    certs = make_certificates()
    os.environ["SSL_CERT_FILE"] = str(certs / "ca.pem")
    server = subprocess.Popen([str(BUILD / "bench" / "push_server"), str(certs / "cert.pem"), str(certs / "key.pem")],
                              stdout=subprocess.PIPE, text=True)
    started = time.time()
    try:
        port = int(server.stdout.readline())
        raw = measure(port, args.runs, args.scale, args.latency_seconds, lambda line: print(line, flush=True))
    finally:
        server.terminate()
        server.wait()
    table, summary = tables(raw)
    decoding = json.loads(subprocess.run([sys.executable, str(ROOT / "bench" / "decode_mexc.py")],
                                         capture_output=True, text=True, check=True,
                                         timeout=600).stdout.splitlines()[-1])
    raw["decode_mexc"] = decoding
    table += "\n\n" + decode_table(decoding)
    RESULTS.mkdir(parents=True, exist_ok=True)
    header = (f"Measured {time.strftime('%Y-%m-%d')} on {machine()}. Throughput: median of {args.runs} runs "
              f"(to fit the time, websocket-client and websockets (sync) read 15% of each count, "
              f"websockets (asyncio) 30%, aiohttp 50%); with json.loads: median of {REALISTIC_RUNS} runs of half "
              f"those counts; latency: one {args.latency_seconds:.0f} s paced run of 415 B messages per client and "
              f"rate; {(time.time() - started) / 60:.1f} minutes in all, server and client on the same machine.")
    (RESULTS / "results.md").write_text(f"# Benchmark results\n\n{header}\n\n{table}\n\n![throughput](throughput.png)\n")
    (RESULTS / "raw.json").write_text(json.dumps({"summary": summary, "raw": raw}, indent=1))
    chart(summary, RESULTS / "throughput.png")
    if not args.no_docs:
        put_results("bench", f"{header}\n\n{table}")
    print(table)
    return run_orders(args.no_docs)


def run_orders(no_docs: bool) -> int:
    import orders

    return orders.main(["--no-docs"] if no_docs else [], machine())


if __name__ == "__main__":
    sys.exit(main())
