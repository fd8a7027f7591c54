"""The control endpoints: what programs outside the simulator's process may ask of it.

GET  /frames            every WebSocket frame received, in order
GET  /requests          every REST request received, in order
GET  /listen-keys       valid listen keys and how often each was renewed
GET  /connections       every WebSocket connection accepted: conn (its number), path, closed
POST /fault?fault=F&path=P&count=N   the next N REST requests to P fail as F
POST /rest-answer?answer=HEX[&split=N][&close=1]  the next REST request is answered with these
                        bytes as they are: the first N in a TLS record of their own, then the
                        rest (close=1: then the connection is closed)
GET  /faults            the REST faults set, with how many requests each has still to take
POST /okx?pong=on|off   whether OKX answers "ping"
POST /okx?lose-order-answer=on  the next OKX order is taken, then its connection is dropped
                        before the answer
POST /okx?late-op-answers=on|off  an OKX operation's reply (and its orders' updates) waits
                        until its connection's next login, subscribe or unsubscribe is answered
POST /okx-notice?conn=N OKX's notice of a coming service upgrade (64008) on that connection (all:
                        on every OKX connection open now), which is closed a while later
POST /okx?upgrade-close=S  how long after its notice an OKX connection is closed (60 s)
POST /okx?rate-limit=N  the next N OKX operations are refused with 50011 (the rate limit)
POST /okx?relist=I      instrument I gets a new instIdCode; the old one names nothing (51001)
POST /okx?late-51001=MS   an order refused with 51001 is answered MS milliseconds late
POST /okx?repeat-51001=MS  ... and answered once more MS milliseconds later (off: not again)
POST /okx?slow-instruments=MS  GET /api/v5/public/instruments answers MS milliseconds late
POST /okx?odd-answer=K  the next OKX operation is carried out and answered out of form: K
                        "empty-data" (data []), "blank-entry" (one entry with empty ordId and
                        clOrdId, no sCode) or "short-batch" (its last entry left out)
GET  /okx-orders        every OKX order placed, in order
GET  /rest              REST port: TLS handshakes (and how many resumed), connections open, idle
POST /rest?idle=S       close a REST connection idle for S seconds (60)
POST /rest?drop-idle=fin|rst  close every idle REST connection now (clean close or reset): the
                        client's next request finds its kept-alive connection stale
POST /gap               every running feed leaves out its next sequence number
POST /repeat?every=N[&lag=L]  every N-th push of each feed goes out after a repeat of the
                        push L (2) before it, the same bytes (MEXC: its own sendTime); 0: none
POST /okx?book-snapshots=on|off  OKX's book channels (books, books-l2-tbt, books50-l2-tbt) start
                        each subscription with a snapshot push, prevSeqId -1 (off, the default:
                        updates only; a program takes the book over REST)
POST /okx?book-quiet=S  an OKX book left unchanged S seconds pushes the unchanged book (60)
POST /book-reset?inst=I the next change of OKX instrument I's book resets its sequence (seqId
                        below prevSeqId), as after maintenance
POST /book-fault?exchange=X&inst=I&fault=F[&after=K]  a push of that book (okx or mexc), the
                        next one or the one after K more, is dropped (F "drop"), sent twice
                        ("repeat"), held back to follow the push after it ("reorder")
                        or carries a bid at the best ask that the book does not hold ("cross")
POST /book-hold?exchange=X&inst=I&hold=on|off  that book's feeds push nothing until released,
                        and then go on at their rate: its reference stands still meanwhile
POST /book-rest?mode=429|hang|ok  every REST snapshot request (OKX /api/v5/market/books, MEXC
                        /api/v3/depth) is refused as over the rate limit (HTTP 429), or never
                        answered (dropped unanswered once the mode changes); ok: answered
GET  /book?exchange=X&inst=I[&depth=N]  the reference book all its pushes and REST snapshots
                        come from: seq (OKX seqId, MEXC version), ts, asks and bids best first
                        as [price, size]
POST /rate?value=R[&limit=N]  data messages per second per new subscription (and a cap)
POST /close?conn=N      close a WebSocket connection cleanly (/abort: drop it; /hold-close:
                        send a close frame, then stop reading, so the close never completes)
POST /freeze?conn=N     that connection hangs: it stops reading and writing and TCP stays up
                        (all: every WebSocket connection open now)
POST /freeze?handshakes=on|off  new TLS handshakes on the WebSocket port get no answer (TCP
                        stays up)
POST /flood?conn=N&count=C&size=S[&rate=R]  send C text messages of S bytes ("00000001xxx...",
                        the sequence number first) as fast as the connection takes them (at
                        most R a second)
POST /clock?skew=S      the exchanges' clocks run S seconds ahead of this machine's (negative:
                        behind): their time endpoints say so, and signatures are judged by them
POST /clock?serve=T     the time endpoints answer T (MEXC's serverTime, OKX's ts), whatever
                        the time; T "none": the time again
POST /reset             forget frames, requests, faults and listen keys; the feeds run on
                        at the rate the simulator started with
"""

import base64
from typing import TYPE_CHECKING
from urllib.parse import parse_qsl, urlsplit

from . import books, okx_rules
from .okx import ODD_ANSWERS
from .recorder import RestRequest

if TYPE_CHECKING:
    from .server import Simulator


def _frame(frame) -> dict:
    if isinstance(frame.data, bytes):
        return {"conn": frame.conn, "path": frame.path, "binary": base64.b64encode(frame.data).decode()}
    return {"conn": frame.conn, "path": frame.path, "text": frame.data}


def _request(request: RestRequest) -> dict:
    return {"method": request.method, "target": request.target, "headers": request.headers,
            "body": request.body, "raw": request.raw.decode("latin-1")}


async def dropped(sim: "Simulator", how: str) -> tuple[int, object]:
    return 200, {"dropped": await sim.drop_idle_rest(how)}


def handle(sim: "Simulator", request: RestRequest):
    """(status, body), or a coroutine giving them for what the loop must wait for."""
    parts = urlsplit(request.target)
    query = dict(parse_qsl(parts.query))
    route = (request.method, parts.path)
    if route == ("GET", "/frames"):
        return 200, [_frame(f) for f in list(sim.recorder.frames)]
    if route == ("GET", "/requests"):
        return 200, [_request(r) for r in list(sim.recorder.requests)]
    if route == ("GET", "/listen-keys"):
        return 200, {key: record.renewals for key, record in sim._rest.valid_keys().items()}
    if route == ("GET", "/faults"):
        return 200, [{"fault": f.fault, "path": f.path, "remaining": f.remaining}
                     for f in sim.rest_faults]
    if route == ("POST", "/fault"):
        try:
            sim.add_rest_fault(query["fault"], query.get("path"), int(query.get("count", "1")))
        except (KeyError, ValueError) as e:
            return 400, {"error": str(e)}
        return 200, {"ok": True}
    if route == ("POST", "/rest-answer"):
        try:
            sim.add_raw_answer(bytes.fromhex(query["answer"]), int(query.get("split", "0")),
                               query.get("close") == "1")
        except (KeyError, ValueError) as e:
            return 400, {"error": str(e)}
        return 200, {"ok": True}
    if route == ("POST", "/okx-notice"):
        if query.get("conn") == "all":
            for conn in sim.okx_connections():
                sim.close_soon_task(sim.okx_notice(conn))
        else:
            sim.close_soon_task(sim.okx_notice(int(query.get("conn", "0"))))
        return 200, {"ok": True}
    if route == ("POST", "/okx"):
        if "pong" in query:
            sim.okx_answers_pings = query["pong"] != "off"
        if "lose-order-answer" in query:
            sim.okx_lose_order_answer = query["lose-order-answer"] == "on"
        if "late-op-answers" in query:
            sim.okx_late_op_answers = query["late-op-answers"] == "on"
        if "upgrade-close" in query:
            sim.okx_limits.upgrade_close_s = float(query["upgrade-close"])
        if "rate-limit" in query:
            sim.okx_rate_limited_ops = int(query["rate-limit"])
        if "late-51001" in query:
            sim.okx_51001_delay_s = float(query["late-51001"]) / 1000
        if "repeat-51001" in query:
            sim.okx_51001_repeat_s = (None if query["repeat-51001"] == "off"
                                      else float(query["repeat-51001"]) / 1000)
        if "slow-instruments" in query:
            sim.okx_instruments_delay_s = float(query["slow-instruments"]) / 1000
        if "odd-answer" in query:
            if query["odd-answer"] not in ODD_ANSWERS:
                return 400, {"error": f"unknown odd answer {query['odd-answer']!r}"}
            sim.okx_odd_answer = query["odd-answer"]
        if "book-snapshots" in query:
            sim.okx_book_snapshots = query["book-snapshots"] == "on"
        if "book-quiet" in query:
            sim.book_quiet_s = float(query["book-quiet"])
        if "relist" in query:
            return 200, {"instIdCode": okx_rules.relist(sim.okx_instruments, query["relist"])}
        return 200, {"ok": True}
    if route == ("GET", "/okx-orders"):
        return 200, list(sim.okx_orders.values())
    if route == ("GET", "/rest"):
        return 200, sim.rest_counts()
    if route == ("POST", "/rest"):
        if "idle" in query:
            sim.rest_idle_s = float(query["idle"])
        if "drop-idle" in query:
            return dropped(sim, query["drop-idle"])
        return 200, {"ok": True}
    if route == ("POST", "/gap"):
        sim.inject_gap()
        return 200, {"ok": True}
    if route == ("POST", "/repeat"):
        try:
            sim.broadcasts.repeat_every = max(0, int(query.get("every", "0")))
            sim.broadcasts.repeat_lag = max(1, int(query.get("lag", "2")))
        except ValueError as e:
            return 400, {"error": str(e)}
        return 200, {"ok": True}
    if route == ("POST", "/book-rest"):
        try:
            sim.book_rest.set(query.get("mode", ""))
        except ValueError as e:
            return 400, {"error": str(e)}
        return 200, {"ok": True}
    if parts.path in ("/book", "/book-reset", "/book-fault", "/book-hold"):
        return book_control(sim, request.method, parts.path, query)
    if route == ("POST", "/rate"):
        sim.rate = float(query.get("value", "0"))
        sim.feed_limit = int(query["limit"]) if "limit" in query else None
        return 200, {"ok": True}
    if route in (("POST", "/close"), ("POST", "/abort"), ("POST", "/hold-close")):
        conn = sim.connection(int(query.get("conn", "0")))
        if conn.ws is not None:
            if parts.path == "/abort":
                conn.ws.transport.abort()
            elif parts.path == "/hold-close":
                sim.hold_close(conn.id)
            else:
                sim.close_soon(conn.id)
        return 200, {"ok": True}
    if route == ("POST", "/freeze"):
        if "handshakes" in query:
            sim.freeze_handshakes = query["handshakes"] == "on"
        if query.get("conn") == "all":
            for conn in sim.connections:
                sim.freeze(conn.id)
        elif "conn" in query:
            sim.freeze(int(query["conn"]))
        return 200, {"ok": True}
    if route == ("POST", "/flood"):
        size = int(query.get("size", "100"))
        rate = float(query["rate"]) if "rate" in query else None
        sim.close_soon_task(sim.send_repeated(
            int(query.get("conn", "0")), int(query.get("count", "1")),
            lambda seq: f"{seq:08d}" + "x" * (size - 8), rate))
        return 200, {"ok": True}
    if route == ("GET", "/connections"):
        return 200, [{"conn": c.id, "path": c.path, "closed": c.closed.is_set()}
                     for c in sim.connections]
    if route == ("POST", "/clock"):
        if "skew" in query:
            sim.clock_skew_s = float(query["skew"])
        if "serve" in query:
            sim.served_time = None if query["serve"] == "none" else query["serve"]
        return 200, {"ok": True}
    if route == ("POST", "/reset"):
        sim.recorder.clear()
        sim.rest_faults.clear()
        sim.listen_keys.clear()
        sim.reset_rest()
        sim.okx_answers_pings = True
        sim.okx_lose_order_answer = False
        sim.okx_late_op_answers = False
        sim.okx_51001_delay_s, sim.okx_51001_repeat_s = 0.0, None
        sim.okx_instruments_delay_s = 0.0
        sim.okx_odd_answer = None
        sim.broadcasts.repeat_every, sim.broadcasts.repeat_lag = 0, 2
        sim.rate, sim.feed_limit = sim.started_feeds
        sim.clock_skew_s = 0.0
        sim.served_time = None
        sim.okx_rate_limited_ops = 0
        sim.okx_book_snapshots, sim.book_quiet_s = False, books.BOOK_QUIET_S
        sim.book_requests.clear()
        sim.book_rest.set("ok")
        for book in sim.books.books.values():
            book.faults.clear()
            book.reset_next = False
            book.running.set()
        sim.freeze_handshakes = False
        return 200, {"ok": True}
    return 404, {"error": f"no route {request.method} {parts.path}"}


def book_control(sim: "Simulator", method: str, path: str, query: dict) -> tuple[int, object]:
    """A reference book shown, its sequence reset, or a fault set on its pushes."""
    exchange = "okx" if path == "/book-reset" else query.get("exchange", "")
    if exchange not in ("okx", "mexc") or not query.get("inst"):
        return 400, {"error": "name the book: exchange okx or mexc, and inst"}
    book = sim.books.get(exchange, query["inst"])
    if (method, path) == ("GET", "/book"):
        depth = query.get("depth", str(books.MAX_LEVELS))
        if not depth.isdigit():
            return 400, {"error": f"depth {depth!r}"}
        return 200, book.reference(int(depth))
    if (method, path) == ("POST", "/book-reset"):
        book.reset_next = True
        return 200, {"ok": True}
    if (method, path) == ("POST", "/book-hold") and query.get("hold") in ("on", "off"):
        if query["hold"] == "on":
            book.running.clear()
        else:
            book.running.set()
        return 200, {"ok": True}
    if (method, path) == ("POST", "/book-fault") and query.get("fault") in books.FAULTS:
        push = book.pushes + int(query.get("after", "0")) + 1
        book.faults[push] = query["fault"]
        return 200, {"push": push}
    return 400, {"error": f"no such book control {method} {path}?{query}"}
