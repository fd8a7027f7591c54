"""The Python reading an OKX book push is measured against: json.loads, then each level into a
SortedDict keyed by float price (a size of zero removes it), as a pure-Python client keeps a book.
CPU per push for the pushes book_reader_bench.cpp measures (same shapes, not the same bytes);
compare its figures with that program's, run at the same time on the same machine.

    .venv/bin/python bench/book_reader_python.py
"""

import json
import random
import time

from sortedcontainers import SortedDict


def side(rng, count, asks):
    tenths = 931802 if asks else 931801
    out = []
    for _ in range(count):
        tenths += (1 if asks else -1) * (1 + rng.randrange(4))
        price = str(tenths // 10) + ("." + str(tenths % 10) if tenths % 10 else "")
        size = ("%.8f" % (rng.randrange(5000000) / 1e8)).rstrip("0")
        out.append([price, size, "0", str(1 + len(out) % 7)])
    return out


def push(rng, bids, asks, snapshot):
    return json.dumps(
        {
            "arg": {"channel": "books", "instId": "BTC-USDT"},
            "action": "snapshot" if snapshot else "update",
            "data": [
                {
                    "asks": side(rng, asks, True),
                    "bids": side(rng, bids, False),
                    "ts": "1700000000000",
                    "checksum": 0,
                    "prevSeqId": -1 if snapshot else 123456789,
                    "seqId": 123456790,
                }
            ],
        },
        separators=(",", ":"),
    )


def loads_only(texts):
    for text in texts:
        json.loads(text)


def loads_and_book(texts):
    bids, asks = SortedDict(), SortedDict()
    for text in texts:
        entry = json.loads(text)["data"][0]
        for book, levels in ((bids, entry["bids"]), (asks, entry["asks"])):
            for price, size, *_ in levels:
                key = float(price)
                if float(size) == 0:
                    book.pop(key, None)
                else:
                    book[key] = size


def ns_per_push(work, texts):
    best = float("inf")
    for _ in range(7):
        count, start = 0, time.process_time()
        while time.process_time() - start < 0.15:
            work(texts)
            count += len(texts)
        best = min(best, (time.process_time() - start) * 1e9 / count)
    return best


def main():
    rng = random.Random(2026)
    cases = []
    for levels in (1, 10, 40):
        texts = []
        for i in range(64):
            bids = i % 2 if levels == 1 else levels // 2 + i % 3 - 1
            texts.append(push(rng, bids, levels - bids, False))
        cases.append(("books update, %s" % ("1 level" if levels == 1 else "~%d levels" % levels),
                      texts))
    mixed = []
    for _ in range(64):
        levels = 1 + rng.randrange(40)
        bids = rng.randrange(levels + 1)
        mixed.append(push(rng, bids, levels - bids, False))
    cases.append(("books update, 1-40 levels", mixed))
    cases.append(("books snapshot, 400 a side", [push(rng, 400, 400, True)]))
    print("%-30s %8s %14s %16s" % ("OKX push", "bytes", "json.loads ns", "+ SortedDict ns"))
    for name, texts in cases:
        size = sum(len(t) for t in texts) // len(texts)
        print("%-30s %8d %14.0f %16.0f"
              % (name, size, ns_per_push(loads_only, texts), ns_per_push(loads_and_book, texts)))


if __name__ == "__main__":
    main()
