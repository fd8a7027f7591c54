"""make bench-books: order books kept by _corvane_ws_module (track_book) against the Python a
careful trader writes (picows, json.loads or orjson or protobuf, SortedDict), in one run.

Replays of 200,000 OKX books pushes and 200,000 MEXC aggregated-depth frames (bench/
book_replay.py) go out from bench/book_server.cpp on loopback as fast as each reader reads;
each reader keeps the book to the end marker in its own process (bench/book_clients.py) and
is checked against the replay's final book. Readers alternate within each run, and ratios are
medians of each run's own ratio. Then read costs, and the memory of 100 books of 400 levels a
side. Writes bench/results/books.md and books_raw.json, and puts the tables into
docs/benchmarks.md between the books markers.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import book_replay
from results_page import put_results
from run import BUILD, RESULTS, ROOT, machine, make_certificates

COUNT = 200_000
SEED = 20261209
MANY = 100
PEERS = {"okx": ["peer-okx-json-decimal", "peer-okx-orjson-decimal", "peer-okx-json-float",
                 "peer-okx-orjson-float"],
         "mexc": ["peer-mexc-decimal", "peer-mexc-float"]}
REFERENCE = {"okx": "peer-okx-json-decimal", "mexc": "peer-mexc-decimal"}  # "ratio to peer"
LABELS = {"library-okx": "corvane-ws track_book", "library-mexc": "corvane-ws track_book",
          "peer-okx-json-decimal": "picows + json.loads + SortedDict[Decimal]",
          "peer-okx-orjson-decimal": "picows + orjson + SortedDict[Decimal]",
          "peer-okx-json-float": "picows + json.loads + SortedDict[float]",
          "peer-okx-orjson-float": "picows + orjson + SortedDict[float]",
          "peer-mexc-decimal": "picows + protobuf + SortedDict[Decimal]",
          "peer-mexc-float": "picows + protobuf + SortedDict[float]",
          "library-many": "corvane-ws track_book",
          "peer-many": "picows + json.loads + SortedDict[Decimal]"}
TARGETS = ("library CPU per push ≤ 0.2× the peer's, pushes/s ≥ 5×, top-10 of both sides ≤ 2 µs, "
           "best_bid < 0.5 µs, a 400-level book < 64 KiB, 100 books < 10 MiB")


def has_books() -> bool:
    import _corvane_ws_module as m

    return hasattr(m.OkxConnector, "track_book")


def protobuf_classes() -> Path:
    """mexc_push_pb2 generated from bench/mexc_push.proto, for the MEXC peers."""
    out = BUILD / "books" / "pb"
    out.mkdir(parents=True, exist_ok=True)
    subprocess.run([sys.executable, "-m", "grpc_tools.protoc", f"-I{ROOT / 'bench'}",
                    f"--python_out={out}", "mexc_push.proto"], check=True)
    return out


class Readers:
    def __init__(self, port: int, truths: dict[str, Path], log) -> None:
        self.port, self.truths, self.log = port, truths, log

    def run(self, reader: str, replay: str, *extra: str) -> dict:
        url = f"wss://localhost:{self.port}/?replay={replay}"
        command = [sys.executable, str(ROOT / "bench" / "book_clients.py"), reader, url,
                   str(self.truths[replay]), *extra]
        done = subprocess.run(command, capture_output=True, text=True, timeout=600)
        if done.returncode != 0:
            raise RuntimeError(f"{reader} failed: {done.stderr[-3000:]}")
        result = json.loads(done.stdout.strip().splitlines()[-1])
        reads = "".join(f"  {k} {result[k]:.3f}" for k in ("top10_us", "best_us") if k in result)
        self.log(f"{reader:<24} {replay:<5} {rate(result):>10,.0f} pushes/s "
                 f"{cpu_us(result):>7.2f} µs CPU/push  equal {result['equal']}{reads}")
        return result


def measure(readers: Readers, runs: int, library: bool) -> dict:
    raw: dict = {"pushes": {}, "reading": {}, "memory": {}}
    for run in range(runs):
        for exchange, peers in PEERS.items():
            for reader in ([f"library-{exchange}"] if library else []) + peers:
                raw["pushes"].setdefault(exchange, {}).setdefault(reader, []).append(
                    readers.run(reader, exchange))
            if library:
                raw["reading"].setdefault(exchange, []).append(
                    readers.run(f"library-{exchange}", exchange, "--reading"))
    for reader in (["library-many"] if library else []) + ["peer-many"]:
        for replay in ("one", "many"):
            raw["memory"].setdefault(reader, {})[replay] = readers.run(reader, replay)
    return raw


def paired(samples: dict, reader: str, other: str, value) -> float:
    return statistics.median(value(a) / value(b) for a, b in zip(samples[reader], samples[other]))


def cpu_us(r: dict) -> float:
    return r["cpu"] / r["pushes"] * 1e6


def rate(r: dict) -> float:
    return r["pushes"] / r["seconds"]


def push_table(raw: dict) -> str:
    lines = ["| Exchange | Reader | CPU µs / push | pushes/s | library CPU ÷ this | "
             "library pushes/s ÷ this | books equal |", "|---|---|---:|---:|---:|---:|---|"]
    for exchange, per in raw["pushes"].items():
        library = f"library-{exchange}"
        for reader, samples in per.items():
            cpu = statistics.median(map(cpu_us, samples))
            pushes = statistics.median(map(rate, samples))
            if reader == library or library not in per:
                ratios = "— | —"
            else:
                ratios = (f"{paired(per, library, reader, cpu_us):.3f}× | "
                          f"{paired(per, library, reader, rate):.1f}×")
            equal = "yes" if all(s["equal"] for s in samples) else "**no**"
            name = LABELS[reader] + (" (the peer)" if reader == REFERENCE[exchange] else "")
            lines.append(f"| {exchange.upper()} | {name} | {cpu:.2f} | {pushes:,.0f} | {ratios} | "
                         f"{equal} |")
    return "\n".join(lines)


def read_table(raw: dict) -> str:
    lines = ["| Exchange | Reader | top 10 of both sides µs, static | top 10 µs, being updated "
             "(median / p99 of 100-call batches) | best bid µs, static | "
             "best bid µs, being updated |",
             "|---|---|---:|---:|---:|---:|"]
    for exchange, per in raw["pushes"].items():
        for reader in (f"library-{exchange}", REFERENCE[exchange]):
            if reader not in per:
                continue
            top = statistics.median(s["top10_us"] for s in per[reader])
            best = statistics.median(s["best_us"] for s in per[reader])
            updating = [s for s in raw["reading"].get(exchange, []) if s.get("updating_batches")]
            if reader.startswith("library") and updating:
                during = (f"{statistics.median(s['top10_us'] for s in updating):.2f} / "
                          f"{statistics.median(s['top10_p99_us'] for s in updating):.2f}")
                best_during = f"{statistics.median(s['best_us'] for s in updating):.3f}"
            else:
                during = best_during = "—"
            lines.append(f"| {exchange.upper()} | {LABELS[reader]} | {top:.2f} | {during} | "
                         f"{best:.3f} | {best_during} |")
    return "\n".join(lines)


def memory_table(raw: dict) -> str:
    lines = [f"| Reader | RSS growth, 1 book | RSS growth, {MANY} books | per book "
             f"(({MANY} − 1) ÷ {MANY - 1}) | the module's count, per book | books equal |",
             "|---|---:|---:|---:|---:|---|"]
    for reader, per in raw["memory"].items():
        one, many = per["one"]["rss_delta"], per["many"]["rss_delta"]
        own = per["many"].get("book_bytes")
        lines.append(f"| {LABELS[reader]} | {one / 2**20:.2f} MiB | {many / 2**20:.2f} MiB | "
                     f"{(many - one) / (MANY - 1) / 1024:.1f} KiB | "
                     f"{f'{own / 1024:.1f} KiB' if own else '—'} | "
                     f"{'yes' if per['one']['equal'] and per['many']['equal'] else '**no**'} |")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--count", type=int, default=COUNT, help="pushes of each replay")
    p.add_argument("--no-docs", action="store_true", help="leave docs/benchmarks.md as it is")
    return run(p.parse_args(argv))


def run(args) -> int:
    started = time.time()
    log = lambda line: print(line, flush=True)  # noqa: E731
    replays = {"okx": book_replay.replay("okx", args.count, SEED),
               "mexc": book_replay.replay("mexc", args.count, SEED),
               "one": book_replay.replay("okx-many", 1, SEED),
               "many": book_replay.replay("okx-many", MANY, SEED)}
    log(f"replays ready in {time.time() - started:.0f} s")
    certs = make_certificates()
    os.environ["SSL_CERT_FILE"] = str(certs / "ca.pem")
    os.environ["PYTHONPATH"] = os.pathsep.join([str(protobuf_classes()), str(ROOT / "bench")])
    server = subprocess.Popen([str(BUILD / "bench" / "book_server"), str(certs / "cert.pem"),
                               str(certs / "key.pem"),
                               *(f"{name}={path}" for name, (path, _) in replays.items())],
                              stdout=subprocess.PIPE, text=True)
    library = has_books()
    load_before = os.getloadavg()[0]
    try:
        port = int(server.stdout.readline())
        truths = {name: path.with_suffix(".json") for name, (path, _) in replays.items()}
        raw = measure(Readers(port, truths, log), args.runs, library)
    finally:
        server.terminate()
        server.wait()
    okx_levels, mexc_levels = (replays[k][1]["levels_per_update"] for k in ("okx", "mexc"))
    header = (f"Measured {time.strftime('%Y-%m-%d')} on {machine()}. {args.count:,} pushes a "
              f"replay (OKX: a 400-level snapshot, then updates of {okx_levels:.1f} levels on "
              f"average; MEXC: frames of {mexc_levels:.1f} levels on average, the book from REST "
              f"first), served over TLS on loopback as fast as the reader reads. Median of "
              f"{args.runs} runs, readers one after another in each run; a ratio is the median "
              f"of each run's own ratio. CPU: the whole process, every thread, from connect to the "
              f"end marker. Books equal: each reader's whole book, both sides, is the replay's "
              f"final book, in Decimal; {(time.time() - started) / 60:.1f} minutes in all, the "
              f"machine's load average {load_before:.1f} before and {os.getloadavg()[0]:.1f} after "
              f"(2 cores shared with other work: wall-clock figures suffer first)."
              + ("" if library else " The module has no track_book yet: peers only."))
    block = "\n\n".join([header, push_table(raw), read_table(raw), memory_table(raw),
                         f"Targets: {TARGETS}."])
    RESULTS.mkdir(parents=True, exist_ok=True)
    (RESULTS / "books.md").write_text(f"# Order books\n\n{block}\n")
    (RESULTS / "books_raw.json").write_text(json.dumps(raw, indent=1))
    if not args.no_docs:
        put_results("books", block)
    print(block)
    return 0


if __name__ == "__main__":
    sys.exit(main())
