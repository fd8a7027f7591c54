"""The order-book benchmark's replays (bench/book_replay.py): what the server sends must be a
book a correct reader can keep, or make bench-books would call a correct library wrong."""

import json
import struct
import sys
from decimal import Decimal
from pathlib import Path

import _corvane_ws_module as m

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

import book_replay  # noqa: E402
from book_clients import PeerBook, exact  # noqa: E402


def records(data: list[bytes]) -> list[tuple[bytes, bytes]]:
    out = []
    for record in data:
        (size,) = struct.unpack("<I", record[1:5])
        assert len(record) == 5 + size
        out.append((record[:1], record[5:]))
    return out


def test_okx_replay_chains_from_a_snapshot_to_the_final_book():
    replayed, truth = book_replay.okx(300, seed=5)
    book = PeerBook(Decimal)
    kinds = [kind for kind, _ in records(replayed)]
    assert kinds[0] == b"R" and kinds[1:] == [b"T"] * 301  # 300 pushes, then the end marker
    pushes = [json.loads(body) for kind, body in records(replayed)[1:-1]]
    assert pushes[0]["action"] == "snapshot" and pushes[0]["data"][0]["prevSeqId"] == -1
    assert len(pushes[0]["data"][0]["bids"]) == len(pushes[0]["data"][0]["asks"]) == 400
    for push in pushes:
        assert push["data"][0]["checksum"] == 0
        book.okx(push["data"][0])
    assert book.gaps == 0 and book.seq == truth["seq"]
    assert book.sides() == (exact(truth["bids"]), exact(truth["asks"]))
    assert 380 <= len(truth["bids"]) <= 400 and 380 <= len(truth["asks"]) <= 400
    assert "books" not in records(replayed)[-1][1].decode()  # the end marker is no book push


def test_mexc_snapshot_covers_the_first_frame_and_the_rest_continue_it():
    replayed, truth = book_replay.mexc(300, seed=5)
    parts = records(replayed)
    assert [kind for kind, _ in parts[:4]] == [b"B", b"R", b"W", b"B"]
    path, body = parts[1][1].split(b"\n", 1)
    assert path == b"/api/v3/depth BTCUSDT"
    snapshot = json.loads(body)
    frames = [m.decode_mexc(frame) for kind, frame in parts if kind == b"B"]
    depths = [f["publicAggreDepths"] for f in frames[:-1]]
    assert snapshot["lastUpdateId"] == int(depths[0]["toVersion"])  # MEXC's rule: not older
    book = PeerBook(Decimal)
    book.mexc_snapshot(snapshot)
    for depth in depths[1:]:
        assert int(depth["fromVersion"]) == book.seq + 1
        for side, name in ((book.bids, "bids"), (book.asks, "asks")):
            book.set_levels(side, [(lv["price"], lv["quantity"]) for lv in depth.get(name, [])])
        book.seq = int(depth["toVersion"])
    assert book.seq == truth["seq"]
    assert book.sides() == (exact(truth["bids"]), exact(truth["asks"]))
    assert "publicAggreDepths" not in frames[-1]  # the end marker


def test_replays_are_the_same_for_the_same_seed_and_differ_for_another():
    assert book_replay.okx(50, seed=9) == book_replay.okx(50, seed=9)
    assert book_replay.okx(50, seed=9)[1] != book_replay.okx(50, seed=10)[1]
