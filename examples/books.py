"""Order books kept by the connectors, live: an OKX "books" book and a MEXC aggregated-depth
book, each on a status line with its best levels, through a push the simulator leaves out (the
book resyncs from the exchange's snapshot: "gap") and a dropped connection (``Reconnecting``
connects again and the book resyncs: "reconnect"). At the end each book is compared, level by
level, with the simulator's own book at the same sequence number; the exit status is 0 only if
both match and both resyncs happened.

    python examples/books.py     # starts the simulator in this process
    make demo                    # runs it after examples/stream.py, on the demo's simulator
"""

import argparse
import json
import shutil
import sys
import threading
import time
import urllib.request
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from decimal import Decimal
from typing import Any

import corvane_ws as cw

WAIT = 10.0  # seconds any one step may take before the demo calls it failed


# ---- the simulator's control port ----

@dataclass
class Control:
    """The simulator's control endpoints (docs/simulator.md), over plain HTTP."""

    url: str

    def ask(self, method: str, target: str) -> Any:
        request = urllib.request.Request(self.url + target, method=method)
        with urllib.request.urlopen(request, timeout=5) as reply:
            return json.loads(reply.read())

    def drop_pushes(self, books: dict[str, str]) -> None:
        """Each book's (exchange -> instrument) push after the next two never goes out: the
        one after it shows the gap."""
        for exchange, inst in books.items():
            self.ask("POST", f"/book-fault?exchange={exchange}&inst={inst}&fault=drop&after=2")

    def drop_connections(self, paths: set[str]) -> None:
        """Drops (no close handshake) every open connection on these paths."""
        for conn in self.ask("GET", "/connections"):
            if not conn["closed"] and conn["path"].split("?")[0] in paths:
                self.ask("POST", f"/abort?conn={conn['conn']}")


# ---- what the streams report ----

class Log:
    """The streams' events, in order, for the status display and for the steps that wait on
    them. Appended by the reader threads, read by the display and the main thread."""

    def __init__(self) -> None:
        self.started = time.monotonic()
        self.lines: list[str] = []
        self.events: list[tuple[str, cw.StreamEvent]] = []  # (exchange, event)
        self.changed = threading.Condition()

    def note(self, line: str) -> None:
        with self.changed:
            self.lines.append(f"[{time.monotonic() - self.started:5.1f} s] {line}")
            self.changed.notify_all()

    def add(self, name: str, event: cw.StreamEvent) -> None:
        with self.changed:
            self.events.append((name, event))
            self.lines.append(f"[{time.monotonic() - self.started:5.1f} s] {name:4} "
                              + describe(event))
            self.changed.notify_all()

    def mark(self) -> int:
        with self.changed:
            return len(self.events)

    def wait_resync(self, name: str, reason: str, since: int, timeout: float) -> bool:
        """Waits until `name`'s book, after event number `since`, went out of sync for `reason`
        and was synced again."""
        def resynced() -> bool:
            out = False
            for who, event in self.events[since:]:
                if who != name:
                    continue
                if event.kind == "book_resync" and event.reason == reason:
                    out = True
                elif event.kind == "book_synced" and out:
                    return True
            return False

        with self.changed:
            return self.changed.wait_for(resynced, timeout)


def describe(event: cw.StreamEvent) -> str:
    if event.kind == "book_resync":  # the instrument names the book: one book each here
        return f"book_resync {event.instrument}: {event.reason}"
    if event.kind == "book_synced":
        return f"book_synced {event.instrument}"
    if event.kind == "gap":
        return f"gap {event.instrument}: expected {event.expected}, got {event.got}"
    if event.kind == "waiting":
        return f"waiting {event.delay:.2f} s"
    return event.kind + (f": {event.reason}" if event.reason else "")


def read(stream: cw.Reconnecting, name: str, log: Log) -> threading.Thread:
    """Reads `stream` on a thread of its own. A tracked book's pushes are the connector's: what
    comes here is its events (and the exchange's subscription answers)."""
    def run() -> None:
        for item in stream:
            if isinstance(item, cw.StreamEvent):
                log.add(name, item)

    thread = threading.Thread(target=run, name=f"{name} reader", daemon=True)
    thread.start()
    return thread


# ---- the display ----

def status(name: str, book: cw.OrderBook) -> str:
    """The top two levels a side as a ladder: bids up to the best, asks from the best on."""
    resynced = f"resyncs {sum(book.resyncs.values())}"
    if not book.synced:  # an out-of-sync book shows no levels
        return f"{name:4} {book.instrument:8} {'out of sync':66}{resynced}"
    bids, asks = book.bids(2), book.asks(2)
    ladder = " ".join([str(p) for p, _ in bids[1:]] + [f"{p}×{s}" for p, s in bids[:1]] + ["|"]
                      + [f"{p}×{s}" for p, s in asks[:1]] + [str(p) for p, _ in asks[1:]])
    return f"{name:4} {book.instrument:8} seq {book.seq:<8d} {ladder:52} {resynced}"


def resyncs(book: cw.OrderBook) -> str:
    return " ".join(f"{reason} {n}" for reason, n in book.resyncs.items() if n) or "none"


@contextmanager
def display(log: Log, books: dict[str, cw.OrderBook]) -> Iterator[None]:
    """Prints each event as it comes and the books' status lines: rewritten in place four
    times a second on a terminal, every two seconds otherwise."""
    tty = sys.stdout.isatty()
    stopping = threading.Event()

    def run() -> None:
        shown, drawn, last = 0, 0, 0.0
        while True:
            with log.changed:
                log.changed.wait_for(lambda: len(log.lines) > shown or stopping.is_set(),
                                     0.25 if tty else 2.0)
                new, shown = log.lines[shown:], len(log.lines)
            if tty and drawn:
                sys.stdout.write(f"\x1b[{drawn}F\x1b[J")  # the status lines give way
                drawn = 0
            for line in new:
                print(line)
            due = tty or time.monotonic() - last >= 2.0 or stopping.is_set()
            if due:
                width = shutil.get_terminal_size().columns - 1 if tty else None
                for name, book in books.items():
                    print(status(name, book)[:width])  # a wrapped line would not be rewritten
                drawn, last = len(books), time.monotonic()
            sys.stdout.flush()
            if stopping.is_set():
                return

    thread = threading.Thread(target=run, name="display", daemon=True)
    thread.start()
    try:
        yield
    finally:
        stopping.set()
        with log.changed:
            log.changed.notify_all()
        thread.join(5)


# ---- the check ----

def compare(book: cw.OrderBook, control: Control, exchange: str, timeout: float) -> str:
    """Compares `book` with the simulator's book at the same sequence number: "ok …", or
    what differs. The simulator's book moves on with every push: ask for it, let the
    connector's book reach its sequence number, and compare them if it stopped there (else ask
    again)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        reference = control.ask("GET", f"/book?exchange={exchange}&inst={book.instrument}")
        while book.seq < reference["seq"] and time.monotonic() < deadline:
            time.sleep(0.002)  # the push is on its way over loopback
        seq = book.seq
        bids, asks = book.bids(), book.asks()
        if book.seq != seq or seq != reference["seq"] or not book.synced:
            continue  # a push came meanwhile: a consistent pair next time
        for side, kept in (("bids", bids), ("asks", asks)):
            wanted = [(Decimal(price), Decimal(size)) for price, size in reference[side]]
            if kept != wanted:
                return f"mismatch at seq {seq}: {side} {first_difference(kept, wanted)}"
        return f"ok (seq {seq}, {len(bids)} bids and {len(asks)} asks equal)"
    return f"mismatch: not at the simulator's sequence within {timeout:.0f} s"


def first_difference(kept: list[cw.Level], wanted: list[cw.Level]) -> str:
    for n, (a, b) in enumerate(zip(kept, wanted)):
        if a != b:
            return f"level {n}: kept {a[0]}×{a[1]}, the simulator's {b[0]}×{b[1]}"
    return f"{len(kept)} levels kept, the simulator has {len(wanted)}"


# ---- the show ----

def run(okx_url: str, mexc_url: str, rest_url: str, control: Control, seconds: float) -> bool:
    print("== Order books: OKX books BTC-USDT, MEXC aggregated depth BTCUSDT ==", flush=True)
    okx = cw.OKX(url=okx_url, rest_url=rest_url)
    mexc = cw.MEXC(url=mexc_url, rest_url=rest_url)
    books = {"OKX": okx.book("BTC-USDT", channel="books"),  # kept from pushes and snapshots
             "MEXC": mexc.book("BTCUSDT", speed="100ms")}
    exchanges = {"OKX": "okx", "MEXC": "mexc"}
    log = Log()
    streams = {"OKX": cw.Reconnecting(okx, first_backoff=0.2),
               "MEXC": cw.Reconnecting(mexc, first_backoff=0.2)}
    readers: list[threading.Thread] = []
    ok = True

    def step(title: str, action: Callable[[], None], reason: str) -> None:
        nonlocal ok
        log.note(f"-- {title}")
        since = log.mark()
        action()
        for name in books:
            if not log.wait_resync(name, reason, since, WAIT):
                log.note(f"{name}: no {reason} resync within {WAIT:.0f} s")
                ok = False
        time.sleep(seconds / 3)  # the books live for a while

    try:
        with display(log, books):
            step("connecting", lambda: readers.extend(read(stream, name, log)
                                                      for name, stream in streams.items()),
                 "start")
            step("the simulator leaves out a push of each book",
                 lambda: control.drop_pushes({exchanges[n]: b.instrument
                                              for n, b in books.items()}),
                 "gap")
            step("the simulator drops both connections",
                 lambda: control.drop_connections({urlpath(okx_url), urlpath(mexc_url)}),
                 "reconnect")
        print("\n== The books against the simulator's ==")
        for name, book in books.items():
            outcome = compare(book, control, exchanges[name], WAIT)
            ok &= outcome.startswith("ok")
            print(f"{name:4} {book.instrument}: {outcome}; resyncs {resyncs(book)}")
    finally:
        for stream in streams.values():
            stream.stop()
        for reader in readers:
            reader.join(10)
    print("Result:", "ok" if ok else "FAILED", flush=True)
    return ok


def urlpath(url: str) -> str:
    return "/" + url.split("://", 1)[1].split("/", 1)[1]


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--okx", help="OKX public URL, e.g. wss://localhost:PORT/ws/v5/public")
    p.add_argument("--mexc", help="MEXC stream URL")
    p.add_argument("--rest", help="the simulator's REST base, https://localhost:PORT")
    p.add_argument("--sim-control", help="the simulator's control URL, http://127.0.0.1:PORT")
    p.add_argument("--seconds", type=float, default=6.0, help="how long the books run, about")
    args = p.parse_args()
    given = (args.okx, args.mexc, args.rest, args.sim_control)
    if any(given) and not all(given):
        p.error("give --okx, --mexc, --rest and --sim-control together (make demo does), or none")
    if all(given):
        return 0 if run(args.okx, args.mexc, args.rest, Control(args.sim_control),
                        args.seconds) else 1
    from corvane_ws.sim import serve  # the simulator on a thread of this process

    with serve(rate=50, control_port=0) as running:
        sim = running.sim
        ok = run(sim.url("/ws/v5/public"), sim.url("/ws"), f"https://localhost:{sim.rest_port}",
                 Control(f"http://127.0.0.1:{sim.control_port}"), args.seconds)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
