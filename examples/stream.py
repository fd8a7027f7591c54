"""The whole surface of _corvane_ws_module in about a minute.

Public OKX tickers and trades and public MEXC deals stream on their own reader threads with a
live status line per exchange (with each message's receive-to-Python delay, from its recv_ns).
Halfway, the simulator announces an OKX service upgrade (notice 64008) and closes the OKX
connection soon after: the connector moves the stream to a new connection first, and the line
counts the switch-over. Then a private OKX connector logs in, subscribes "orders", places and
cancels an order; then everything disconnects and a summary checks the sequence numbers the
local simulator puts in every data message: nothing lost, nothing doubled, nothing out of order.
With --live the streams run against the real exchanges, through any upgrade window OKX has.

    make demo                         # against the local simulator (started for you)
    python examples/stream.py --live  # public streams of the real exchanges (needs internet)
"""

import argparse
import json
import os
import sys
import threading
import time
import urllib.request
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import _corvane_ws_module as ws

LIVE_OKX = "wss://ws.okx.com:8443/ws/v5/public"
LIVE_MEXC = "wss://wbs-api.mexc.com/ws"
SIM_OKX_KEY = ("okx-test-key", "okx-test-secret", "okx-test-passphrase")


# ---- what arrives ----

@dataclass
class Tally:
    """Counts, rate, last price and sequence checks of one exchange's stream."""

    name: str
    messages: int = 0
    binary: int = 0
    last_price: str = "-"
    lost: int = 0
    out_of_order: int = 0  # a number seen again, or after a later one
    switches: int = 0  # the stream moved to a new connection (an upgrade notice, an age limit)
    expected: dict[str, int] = field(default_factory=dict)  # stream -> next sequence number
    delays_us: list[float] = field(default_factory=list)  # receive (native thread) to Python, µs
    started: float = field(default_factory=time.monotonic)
    lock: threading.Lock = field(default_factory=threading.Lock)

    def sequence(self, stream: str, seq: int | None) -> None:
        if seq is None:
            return
        want = self.expected.get(stream, 1)
        if seq > want:
            self.lost += seq - want
        elif seq < want:
            self.out_of_order += 1
        self.expected[stream] = max(want, seq + 1)

    def line(self) -> str:
        rate = self.messages / max(time.monotonic() - self.started, 1e-9)
        extra = f" ({self.binary} binary)" if self.binary else ""
        return (f"{self.name:5} {self.messages:7d} messages{extra}  {rate:8.1f} msg/s  "
                f"to Python p50 {self.delay(0.5):5.0f} µs  switches {self.switches}  "
                f"last price {self.last_price}")

    def delay(self, quantile: float) -> float:
        """The receive-to-Python delay at `quantile`: from the moment the frame was complete on
        the connector's thread (Message.recv_ns) to the moment Python had it."""
        ordered = sorted(self.delays_us[-2000:])
        return ordered[int(quantile * (len(ordered) - 1))] if ordered else 0.0


def on_okx(tally: Tally, message: str | bytes) -> None:
    value = json.loads(message)
    arg, data = value.get("arg", {}), value.get("data")
    if not data:
        return
    item = data[0]
    tally.last_price = item.get("last") or item.get("px") or tally.last_price
    tally.sequence(f'{arg.get("channel")}:{arg.get("instId")}', item.get("seqId"))


def on_mexc(tally: Tally, message: str | bytes) -> None:
    if isinstance(message, bytes):
        tally.binary += 1
        push = ws.decode_mexc(message)  # MEXC's protobuf frame as a dict
        tally.sequence(push["channel"], push.get("createTime"))  # the simulator's sequence
        deals = push.get("publicAggreDeals", {}).get("deals", [])
        if deals:
            tally.last_price = deals[0]["price"]
    # Text messages are the exchange's answers (subscriptions, PONG): nothing to count.


def reader(connector: ws.BaseExchangeConnector, tally: Tally,
           handle: Callable[[Tally, str | bytes], None]) -> threading.Thread:
    def run() -> None:
        try:
            for item in connector.wsrun(meta=True):  # Message and Event objects
                if not isinstance(item, ws.Message):
                    if item.kind == "switch":  # a planned close, taken over without a gap
                        with tally.lock:
                            tally.switches += 1
                    continue  # an open, a close: not counted here
                delay_us = (time.time_ns() - item.recv_ns) / 1000
                with tally.lock:
                    tally.messages += 1
                    tally.delays_us.append(delay_us)
                    handle(tally, item.data)
        except RuntimeError as e:  # "No more messages": the stream has ended
            if str(e) != "No more messages":
                raise

    thread = threading.Thread(target=run, name=f"{tally.name} reader", daemon=True)
    thread.start()
    return thread


# ---- the three parts of the show ----

def show_status(tallies: list[Tally], seconds: float) -> None:
    tty = sys.stdout.isatty()
    deadline = time.monotonic() + seconds
    first = True
    while time.monotonic() < deadline:
        time.sleep(0.25 if tty else 2.0)
        if tty and not first:
            sys.stdout.write(f"\x1b[{len(tallies)}F")
        for tally in tallies:
            with tally.lock:
                sys.stdout.write("\x1b[2K" + tally.line() + "\n" if tty else tally.line() + "\n")
        sys.stdout.flush()
        first = False


def announce_upgrade(control: str | None, after: float) -> threading.Timer | None:
    """Asks the simulator, `after` seconds from now, to send OKX's notice 64008 on every OKX
    connection and to close them 2 s later."""
    if control is None:
        return None

    def post(target: str) -> None:
        urllib.request.urlopen(urllib.request.Request(control + target, method="POST"), timeout=5)

    def announce() -> None:
        post("/okx?upgrade-close=2")
        post("/okx-notice?conn=all")

    timer = threading.Timer(after, announce)
    timer.start()
    return timer


def stream_public(okx_url: str, mexc_url: str, seconds: float,
                  control: str | None = None) -> list[Tally]:
    print("== Public streams: OKX tickers and trades, MEXC deals ==", flush=True)
    okx, mexc = ws.OkxConnector(), ws.MexcConnector()
    okx.subscribe(channel="tickers", inst_id="BTC-USDT")
    okx.subscribe(channel="trades", inst_id="BTC-USDT")
    # MEXC's channel is host@symbol@level: spot@public.aggre.deals.v3.api.pb@100ms@BTCUSDT
    mexc.subscribe(host="spot@public.aggre.deals.v3.api.pb", symbol="100ms", level="BTCUSDT")
    tallies = [Tally("OKX"), Tally("MEXC")]
    okx.connect(okx_url)
    mexc.connect(mexc_url)
    threads = [reader(okx, tallies[0], on_okx), reader(mexc, tallies[1], on_mexc)]
    upgrade = announce_upgrade(control, seconds / 2)
    show_status(tallies, seconds)
    if upgrade is not None:
        upgrade.join()
    okx.disconnect()
    mexc.disconnect()
    for thread in threads:
        thread.join(10)
    return tallies


def trade_private(url: str, key: tuple[str, str, str]) -> bool:
    print("\n== Private OKX: login, orders channel, place and cancel ==", flush=True)
    okx = ws.OkxConnector(*key)
    okx.subscribe(channel="orders", inst_type="SPOT")
    okx.connect(url)
    replies = okx.wsrun()
    guard = threading.Timer(15, okx.disconnect)  # never wait forever for a reply
    guard.start()
    try:
        def until(predicate: Callable[[Any], bool]) -> Any:
            for message in replies:
                assert isinstance(message, str)
                value = json.loads(message)
                print("  <-", message if len(message) < 160 else message[:157] + "...")
                if predicate(value):
                    return value
            return None

        login = until(lambda v: v.get("event") in ("login", "error"))
        if not login or login.get("code") != "0":
            return False
        until(lambda v: v.get("event") == "subscribe")
        # A spot limit order: the connector looks up the instrument's code (OKX requires it) and
        # sends the price under "px", as OKX takes it for every instrument but options.
        okx.place_order(ord_id="demo1", inst_id="BTC-USDT", side="buy", px="20000", sz="0.001",
                        tdMode="cash", ordType="limit", cl_ord_id="demo1")
        placed = until(lambda v: v.get("op") == "order")
        ord_id = placed["data"][0]["ordId"] if placed and placed.get("code") == "0" else None
        if ord_id is None:
            return False
        until(lambda v: v.get("arg", {}).get("channel") == "orders")
        okx.cancel_order(msg_id="demo2", ord_id=ord_id, inst_id="BTC-USDT")
        cancelled = until(lambda v: v.get("op") == "cancel-order")
        return bool(cancelled and cancelled.get("code") == "0")
    finally:
        guard.cancel()
        okx.disconnect()


def summary(tallies: list[Tally], checked: bool, private_ok: bool | None) -> bool:
    print("\n== Summary ==")
    ok = True
    for t in tallies:
        print(f"{t.name:5} {t.messages} messages, {t.binary} binary, {t.switches} switch-overs; "
              + (f"lost {t.lost}, out of order {t.out_of_order}" if checked else "not sequence-checked")
              + f"; receive to Python p50 {t.delay(0.5):.0f} µs, p99 {t.delay(0.99):.0f} µs")
        ok &= t.messages > 0 and (not checked or (t.lost == 0 and t.out_of_order == 0))
    if private_ok is not None:
        print("private OKX order round trip:", "ok" if private_ok else "FAILED")
        ok &= private_ok
    print("Result:", "nothing lost, nothing doubled, nothing out of order" if ok and checked
          else "ok" if ok else "FAILED")
    return ok


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--live", action="store_true", help="real public endpoints (needs internet)")
    p.add_argument("--okx", default=os.environ.get("CORVANE_OKX_URL"), help="OKX base, e.g. wss://localhost:PORT/ws/v5")
    p.add_argument("--mexc", default=os.environ.get("CORVANE_MEXC_URL"), help="MEXC stream URL")
    p.add_argument("--seconds", type=float, default=20.0, help="how long the public streams run")
    p.add_argument("--sim-control", default=None,
                   help="the simulator's control URL: announce an OKX upgrade halfway")
    args = p.parse_args()
    if args.live:
        tallies = stream_public(LIVE_OKX, LIVE_MEXC, args.seconds)
        return 0 if summary(tallies, checked=False, private_ok=None) else 1
    if not (args.okx and args.mexc):
        p.error("give --okx and --mexc (make demo does), or --live")
    tallies = stream_public(args.okx + "/public", args.mexc, args.seconds, args.sim_control)
    private_ok = trade_private(args.okx + "/private", SIM_OKX_KEY)
    return 0 if summary(tallies, checked=True, private_ok=private_ok) else 1


if __name__ == "__main__":
    sys.exit(main())
