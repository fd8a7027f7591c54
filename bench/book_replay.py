"""The order-book benchmark's replays, made from the simulator's book model (corvane_ws/sim/
books.py: 400 levels a side on a tick grid, 1 to 40 levels changed a push near the top, mostly a
few, a size of 0 removing a level), kept near 400 levels a side, with its random steps seeded,
so that every run sends the same bytes.

okx:  a 400-level snapshot push (prevSeqId -1), then updates chained by prevSeqId/seqId,
      checksum 0; the REST snapshot of the same book beside it.
mexc: aggregated-depth protobuf frames (PushDataV3ApiWrapper, body 313) chained by
      fromVersion/toVersion; the REST depth snapshot at the first frame's toVersion, that is just
      before the frames the server holds back until a client has fetched it.
okx-many: one snapshot push for each of `count` instruments (the memory rows).
Each ends with a marker that is not a book push (OKX: a tickers push; MEXC: a deals push).
Written once per content into build/bench/books beside a JSON of the final books (the truth the
readers are checked against).
"""

import hashlib
import json
import random
import struct
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from corvane_ws.sim import mexc_protobuf as pb  # noqa: E402
from corvane_ws.sim.books import MAX_LEVELS, Book, BookView, okx_levels  # noqa: E402

OUT = ROOT / "build" / "bench" / "books"
OKX_INST = "BTC-USDT"
MEXC_SYMBOL = "BTCUSDT"
MEXC_STREAM = f"spot@public.aggre.depth.v3.api.pb@10ms@{MEXC_SYMBOL}"
TS0 = 1_767_225_600_000  # ms; a push every 10 ms from here
OKX_END = json.dumps({"arg": {"channel": "tickers", "instId": OKX_INST},
                      "data": [{"instId": OKX_INST, "last": "0", "ts": str(TS0)}]},
                     separators=(",", ":"))
MEXC_END_CHANNEL = f"spot@public.aggre.deals.v3.api.pb@10ms@{MEXC_SYMBOL}"


def record(kind: bytes, data: bytes) -> bytes:
    return kind + struct.pack("<I", len(data)) + data


def dumps(value) -> bytes:
    return json.dumps(value, separators=(",", ":")).encode()


def truth(book: Book) -> dict:
    return {"seq": book.seq, **{name: [[p, s] for p, s, _ in book.levels(name, 10**6)]
                                for name in ("bids", "asks")}}


class DeepBook(Book):
    """The simulator's book, whose sides thin out towards its floor of 100 levels over a long
    run, kept between 380 and 400 levels a side as a liquid pair's is: a level is removed near the
    top only above 380; below, that change sets a new level near the top instead."""

    def change(self, side):
        rng, near = self.rng, min(int(self.rng.expovariate(1 / 15)), len(side.keys) - 1)
        roll = rng.random()
        if roll < 0.3 and len(side.keys) > MAX_LEVELS - 20:
            key = side.keys[near]
            side.remove(key)
            return [(side, key)]
        if 0.3 <= roll < 0.7:
            key = side.keys[near]
            side.put(key, self.new_size(), rng.randint(1, 20))
            return [(side, key)]
        other = self.bids if side is self.asks else self.asks
        key = -other.keys[0] + 1 + int(rng.expovariate(1 / 20))  # beyond the other side's best
        side.put(key, self.new_size(), rng.randint(1, 20))
        changed = [(side, key)]
        if len(side.keys) > MAX_LEVELS:  # the worst level falls out of the book
            changed.append((side, side.keys[-1]))
            side.remove(side.keys[-1])
        return changed


def seeded(exchange: str, instrument: str, seed: int) -> Book:
    book = DeepBook(exchange, instrument)  # its first 400 levels a side come from the name
    book.rng = random.Random(seed)
    return book


def okx_push(inst: str, action: str, asks: list, bids: list, prev: int, seq: int, ts: int) -> bytes:
    return dumps({"arg": {"channel": "books", "instId": inst}, "action": action,
                  "data": [{"asks": okx_levels(asks), "bids": okx_levels(bids), "ts": str(ts),
                            "checksum": 0, "prevSeqId": prev, "seqId": seq}]})


def okx_rest(book: Book, inst: str) -> bytes:
    snapshot = {"asks": okx_levels(book.levels("asks", 400)),
                "bids": okx_levels(book.levels("bids", 400)), "ts": str(TS0), "seqId": book.seq}
    return f"/api/v5/market/books {inst}\n".encode() + dumps(
        {"code": "0", "msg": "", "data": [snapshot]})


def okx(count: int, seed: int) -> tuple[list[bytes], dict]:
    book = seeded("okx", OKX_INST, seed)
    view = BookView(book, 400)
    out = [record(b"R", okx_rest(book, OKX_INST)),
           record(b"T", okx_push(OKX_INST, "snapshot", book.levels("asks", 400),
                                 book.levels("bids", 400), -1, book.seq, TS0))]
    changed = 0
    for i in range(1, count):
        prev = book.seq
        book.step()
        asks, bids = view.delta("asks"), view.delta("bids")
        changed += len(asks) + len(bids)
        out.append(record(b"T", okx_push(OKX_INST, "update", asks, bids, prev, book.seq,
                                         TS0 + 10 * i)))
    out.append(record(b"T", OKX_END.encode()))
    return out, {**truth(book), "pushes": count, "levels_per_update": changed / (count - 1),
                 "instrument": OKX_INST}


def mexc_frame(asks: list, bids: list, first: int, last: int, ts: int) -> bytes:
    body = (b"".join(pb.field(1, a) for a in pb.depth_items(asks))
            + b"".join(pb.field(2, b) for b in pb.depth_items(bids))
            + pb.fields((3, MEXC_STREAM.rsplit("@", 1)[0]), (4, str(first)), (5, str(last)),
                        (6, ts)))
    return pb.fields((1, MEXC_STREAM), (3, MEXC_SYMBOL), (5, ts), (6, ts), (313, body))


def mexc(count: int, seed: int) -> tuple[list[bytes], dict]:
    book = seeded("mexc", MEXC_SYMBOL, seed)
    view = BookView(book, 400)
    out, changed = [], 0
    for i in range(count):
        first = book.seq + 1
        book.step()
        asks, bids = view.delta("asks"), view.delta("bids")
        changed += len(asks) + len(bids)
        out.append(record(b"B", mexc_frame(asks, bids, first, book.seq, TS0 + 10 * i)))
        if i == 0:  # a snapshot older than the first push held is fetched again, as MEXC says
            snapshot = {"lastUpdateId": book.seq, "timestamp": TS0,
                        **{name: [[p, s] for p, s, _ in book.levels(name, 5000)]
                           for name in ("bids", "asks")}}
            out.append(record(b"R", f"/api/v3/depth {MEXC_SYMBOL}\n".encode() + dumps(snapshot)))
            out.append(record(b"W", b""))  # the book is fetched once a push is in hand
    deal = pb.fields((1, pb.fields((1, "1.00"), (2, "0.01"), (3, 1), (4, TS0))),
                     (2, MEXC_END_CHANNEL.rsplit("@", 1)[0]))
    out.append(record(b"B", pb.fields((1, MEXC_END_CHANNEL), (3, MEXC_SYMBOL), (314, deal))))
    return out, {**truth(book), "pushes": count, "levels_per_update": changed / count,
                 "instrument": MEXC_SYMBOL, "stream": MEXC_STREAM}


def okx_many(count: int, seed: int) -> tuple[list[bytes], dict]:
    del seed  # each book is the one its name gives
    out, books = [], {}
    for inst in (f"B{i:03d}-USDT" for i in range(count)):
        book = Book("okx", inst)
        out.append(record(b"R", okx_rest(book, inst)))
        out.append(record(b"T", okx_push(inst, "snapshot", book.levels("asks", 400),
                                         book.levels("bids", 400), -1, book.seq, TS0)))
        books[inst] = truth(book)
    out.append(record(b"T", OKX_END.encode()))
    return out, {"books": books, "pushes": count}


KINDS = {"okx": okx, "mexc": mexc, "okx-many": okx_many}


def replay(kind: str, count: int, seed: int) -> tuple[Path, dict]:
    """The replay file (made if not there yet for this content) and its truth."""
    sources = b"".join((Path(m.__file__).read_bytes() for m in (pb, sys.modules[Book.__module__])))
    key = hashlib.sha1(Path(__file__).read_bytes() + sources + f"{kind}:{count}:{seed}".encode())
    path = OUT / f"{kind}-{count}-{seed}-{key.hexdigest()[:10]}.replay"
    truth_path = path.with_suffix(".json")
    if not path.exists() or not truth_path.exists():
        OUT.mkdir(parents=True, exist_ok=True)
        records, final = KINDS[kind](count, seed)
        path.with_suffix(".tmp").write_bytes(b"".join(records))
        truth_path.write_text(json.dumps(final))
        path.with_suffix(".tmp").rename(path)
    return path, json.loads(truth_path.read_text())
