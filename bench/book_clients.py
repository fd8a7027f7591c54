"""One order-book reader per process: keeps the book of a replay (bench/book_replay.py) served
by bench/book_server.cpp until its end marker, checks it against the replay's final book, and
prints a JSON line: pushes, wall seconds and process CPU (every thread) from connect to the end
marker, whether the book is the replay's, read costs, RSS.

    python bench/book_clients.py READER URL TRUTH_JSON [--reading]

READER: library-okx, library-mexc, library-many; peer-okx-{json,orjson}-{decimal,float},
peer-mexc-{decimal,float}, peer-many. A peer is what a careful Python trader writes: picows,
json.loads (or orjson) or protobuf's generated classes, sortedcontainers.SortedDict keyed by
Decimal (or float). --reading: the library's reads timed while its book is being updated.
"""

import argparse
import http.client
import json
import os
import resource
import ssl
import statistics
import sys
import time
import timeit
from decimal import Decimal
from urllib.parse import urlsplit

# A static read is timed in rounds of this many calls, the best of READ_ROUNDS kept: rounds of a
# few milliseconds at most, so that on a shared machine some run without being preempted.
READ_CALLS, READ_ROUNDS = 500, 40


def cpu_now() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Run:
    """Wall and CPU time from start() to stop()."""

    def start(self) -> None:
        self.rss0, self.cpu0, self.wall0 = rss_bytes(), cpu_now(), time.perf_counter()

    def stop(self) -> None:
        self.wall, self.cpu = time.perf_counter() - self.wall0, cpu_now() - self.cpu0
        self.rss_delta = rss_bytes() - self.rss0

    def result(self, pushes: int) -> dict:
        return {"pushes": pushes, "seconds": self.wall, "cpu": self.cpu,
                "rss_delta": self.rss_delta}


def exact(levels) -> list[tuple[Decimal, Decimal]]:
    return [(Decimal(p), Decimal(s)) for p, s in levels]


def best_of(statement: str, names: dict) -> float:
    """µs per call of `statement`, the best round."""
    rounds = timeit.repeat(statement, globals=names, number=READ_CALLS, repeat=READ_ROUNDS)
    return min(rounds) / READ_CALLS * 1e6


# ---- the library ----

def library(url: str, reader: str, truth: dict, reading: bool) -> dict:
    import _corvane_ws_module as m

    if reader == "library-mexc":
        c = m.MexcConnector()
        parts = urlsplit(url)
        c.rest_url = f"https://{parts.netloc}"
        symbol = truth["instrument"]
        books = {symbol: c.track_book(truth["stream"], symbol)}
        c.subscribe(host=truth["stream"].rpartition("@")[0], symbol=symbol)
        end = b"aggre.deals"  # the end marker: a deals push
        truths = {symbol: truth}
    else:
        c = m.OkxConnector()
        truths = truth["books"] if reader == "library-many" else {truth["instrument"]: truth}
        books = {inst: c.track_book("books", inst) for inst in truths}
        for inst in truths:
            c.subscribe(channel="books", inst_id=inst)
        end = '"tickers"'  # the end marker: a tickers push
    run = Run()
    run.start()
    c.connect(url)
    during = read_while_updating(books[next(iter(books))], truth) if reading else {}
    for message in c.wsrun():  # the book's pushes are not delivered: only the end marker
        if end in message:
            break
    run.stop()
    lagging = sum(b.seq != truths[name]["seq"] for name, b in books.items())
    out = run.result(truth["pushes"])
    out.update(during)
    out["lagging_at_end"] = lagging  # books still behind when the end marker was read
    deadline = time.monotonic() + 10
    while lagging and time.monotonic() < deadline:  # bounded: a book behind is reported, not hidden
        time.sleep(0.01)
        lagging = sum(b.seq != truths[name]["seq"] for name, b in books.items())
    out["equal"] = all(b.bids() == exact(truths[name]["bids"]) and
                       b.asks() == exact(truths[name]["asks"]) for name, b in books.items())
    b = books[next(iter(books))]
    resyncs = {reason: sum(x.resyncs[reason] for x in books.values()) for reason in b.resyncs}
    out.update(applied=b.applied, resyncs=resyncs,
               synced=all(x.synced for x in books.values()), levels=len(b.bids()) + len(b.asks()))
    out["book_bytes"] = statistics.mean(x.memory_bytes for x in books.values())
    if not reading and reader != "library-many":
        names = {"bids": b.bids, "asks": b.asks, "best_bid": b.best_bid}
        out["top10_us"] = best_of("bids(10); asks(10)", names)
        out["best_us"] = best_of("best_bid()", names)
    c.disconnect()
    return out


def read_while_updating(book, truth: dict) -> dict:
    """Times batches of reads from the book's sync to its last push (at most 60 s)."""
    bids, asks, best_bid, clock = book.bids, book.asks, book.best_bid, time.perf_counter
    book.wait_synced(60)
    deadline = time.monotonic() + 60
    top10, best = [], []
    while book.seq != truth["seq"] and time.monotonic() < deadline:
        t = clock()
        for _ in range(100):
            bids(10)
            asks(10)
        top10.append((clock() - t) / 100 * 1e6)
        t = clock()
        for _ in range(100):
            best_bid()
        best.append((clock() - t) / 100 * 1e6)
    if not top10:
        return {"updating_batches": 0}
    return {"updating_batches": len(top10), "top10_us": statistics.median(top10),
            "top10_p99_us": sorted(top10)[int(0.99 * (len(top10) - 1))],
            "best_us": statistics.median(best)}


# ---- the peers ----

class PeerBook:
    """Both sides in SortedDicts, ascending (the best bid last), with the sequence applied."""

    def __init__(self, number) -> None:
        from sortedcontainers import SortedDict

        self.number = number
        self.bids, self.asks = SortedDict(), SortedDict()
        self.seq: int | None = None
        self.applied = self.gaps = 0

    def set_levels(self, side, levels) -> None:
        number = self.number
        for price, size, *_ in levels:
            amount = number(size)
            if amount:
                side[number(price)] = amount
            else:
                side.pop(number(price), None)

    def okx(self, data: dict) -> None:
        if data["prevSeqId"] == -1:
            self.bids.clear()
            self.asks.clear()
        elif data["prevSeqId"] != self.seq:
            self.gaps += 1  # a trader would sync again here; the replay has no gap
        self.set_levels(self.bids, data["bids"])
        self.set_levels(self.asks, data["asks"])
        self.seq = data["seqId"]
        self.applied += 1

    def mexc_snapshot(self, snapshot: dict) -> None:
        self.set_levels(self.bids, snapshot["bids"])
        self.set_levels(self.asks, snapshot["asks"])
        self.seq = snapshot["lastUpdateId"]

    def mexc(self, depth) -> None:
        first, last = int(depth.fromVersion), int(depth.toVersion)
        if last <= self.seq:
            return  # already in the snapshot
        if first != self.seq + 1:
            self.gaps += 1
        number = self.number
        for side, items in ((self.bids, depth.bids), (self.asks, depth.asks)):
            for item in items:
                amount = number(item.quantity)
                if amount:
                    side[number(item.price)] = amount
                else:
                    side.pop(number(item.price), None)
        self.seq = last
        self.applied += 1

    def sides(self) -> tuple[list, list]:
        as_decimal = (lambda x: x) if self.number is Decimal else (lambda x: Decimal(repr(x)))
        bids = [(as_decimal(p), as_decimal(s)) for p, s in reversed(self.bids.items())]
        return bids, [(as_decimal(p), as_decimal(s)) for p, s in self.asks.items()]


def tls() -> ssl.SSLContext:
    return ssl.create_default_context(cafile=os.environ["SSL_CERT_FILE"])


def fetch_depth(url: str, symbol: str) -> dict:
    parts = urlsplit(url)
    conn = http.client.HTTPSConnection(parts.hostname, parts.port, context=tls(), timeout=10)
    conn.request("GET", f"/api/v3/depth?symbol={symbol}&limit=5000")
    return json.loads(conn.getresponse().read())


async def peer_stream(url: str, reader: str, books: dict) -> None:
    from picows import WSListener, WSMsgType, ws_connect

    text, binary, close = WSMsgType.TEXT, WSMsgType.BINARY, WSMsgType.CLOSE
    if reader.startswith("peer-mexc"):
        from mexc_push_pb2 import PushDataV3ApiWrapper

        (symbol, book), = books.items()
        parse = PushDataV3ApiWrapper.FromString

        def on_message(frame, transport) -> None:
            wrapper = parse(frame.get_payload_as_bytes())
            if wrapper.WhichOneof("body") != "publicAggreDepths":
                return transport.disconnect()  # the end marker
            if book.seq is None:  # a push in hand: now the snapshot
                book.mexc_snapshot(fetch_depth(url, symbol))
            book.mexc(wrapper.publicAggreDepths)
        wanted = binary
    else:
        if "-orjson-" in reader:
            import orjson

            loads, as_text = orjson.loads, False
        else:
            loads, as_text = json.loads, True

        def on_message(frame, transport) -> None:
            message = loads(frame.get_payload_as_utf8_text() if as_text
                            else frame.get_payload_as_bytes())
            arg = message.get("arg")
            if arg is None:
                return
            if arg["channel"] != "books":
                return transport.disconnect()  # the end marker
            books[arg["instId"]].okx(message["data"][0])
        wanted = text

    class Listener(WSListener):
        def on_ws_frame(self, transport, frame):
            if frame.msg_type == wanted:
                on_message(frame, transport)
            elif frame.msg_type == close:
                transport.disconnect()

    transport, _ = await ws_connect(Listener, url, ssl_context=tls(), max_frame_size=64 << 20)
    await transport.wait_disconnected()


def peer(url: str, reader: str, truth: dict) -> dict:
    import uvloop  # the peer on its fastest loop

    number = float if reader.endswith("-float") else Decimal
    truths = truth["books"] if reader == "peer-many" else {truth["instrument"]: truth}
    books = {name: PeerBook(number) for name in truths}
    run = Run()
    run.start()
    uvloop.run(peer_stream(url, reader, books))
    run.stop()
    out = run.result(truth["pushes"])
    out["equal"] = all(b.sides() == (exact(truths[n]["bids"]), exact(truths[n]["asks"]))
                       for n, b in books.items())
    b = books[next(iter(books))]
    out.update(applied=b.applied, gaps=sum(x.gaps for x in books.values()),
               levels=len(b.bids) + len(b.asks))
    if reader != "peer-many":
        names = {"bids": b.bids, "asks": b.asks}
        out["top10_us"] = best_of("bids.items()[-10:][::-1]; asks.items()[:10]", names)
        out["best_us"] = best_of("bids.peekitem(-1)", names)
    return out


def main() -> None:
    p = argparse.ArgumentParser()
    p.add_argument("reader")
    p.add_argument("url")
    p.add_argument("truth")
    p.add_argument("--reading", action="store_true")
    args = p.parse_args()
    with open(args.truth) as f:
        truth = json.load(f)
    if args.reader.startswith("library"):
        result = library(args.url, args.reader, truth, args.reading)
    else:
        result = peer(args.url, args.reader, truth)
    print(json.dumps(result), flush=True)


if __name__ == "__main__":
    sys.exit(main())
