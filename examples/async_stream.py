"""OKX and MEXC public streams read side by side in one asyncio event loop, with no thread of
Python's own: each connector decrypts and frames on its own native thread, and `async for`
hands its messages to the loop. A live status line per exchange; at the end the sequence
numbers of the local simulator are checked: nothing lost, nothing out of order.

    python examples/async_stream.py --okx wss://localhost:PORT/ws/v5 --mexc wss://localhost:PORT/ws
    python examples/async_stream.py --live      # the real public endpoints (needs internet)

Blocking calls (connect, disconnect, MEXC REST orders) stay blocking; in a program that must
keep its loop running, call them with `await asyncio.to_thread(...)`, as below.
"""

import argparse
import asyncio
import sys
from collections.abc import Callable

import _corvane_ws_module as ws
from stream import LIVE_MEXC, LIVE_OKX, Tally, on_mexc, on_okx


async def read(connector: ws.BaseExchangeConnector, tally: Tally,
               handle: Callable[[Tally, str | bytes], None]) -> None:
    async for message in connector.wsrun_async():  # ends when the stream ends
        tally.messages += 1
        handle(tally, message)


async def show_status(tallies: list[Tally], seconds: float) -> None:
    tty = sys.stdout.isatty()
    loop = asyncio.get_running_loop()
    deadline, first = loop.time() + seconds, True
    while loop.time() < deadline:
        await asyncio.sleep(0.25 if tty else 2.0)
        if tty and not first:
            sys.stdout.write(f"\x1b[{len(tallies)}F")
        for tally in tallies:
            sys.stdout.write("\x1b[2K" + tally.line() + "\n" if tty else tally.line() + "\n")
        sys.stdout.flush()
        first = False


async def stream(okx_url: str, mexc_url: str, seconds: float) -> list[Tally]:
    okx, mexc = ws.OkxConnector(), ws.MexcConnector()
    okx.subscribe(channel="tickers", inst_id="BTC-USDT")
    okx.subscribe(channel="trades", inst_id="BTC-USDT")
    mexc.subscribe(host="spot@public.aggre.deals.v3.api.pb", symbol="100ms", level="BTCUSDT")
    tallies = [Tally("OKX"), Tally("MEXC")]
    await asyncio.gather(asyncio.to_thread(okx.connect, okx_url),
                         asyncio.to_thread(mexc.connect, mexc_url))
    readers = [asyncio.create_task(read(okx, tallies[0], on_okx)),
               asyncio.create_task(read(mexc, tallies[1], on_mexc))]
    await show_status(tallies, seconds)
    await asyncio.gather(asyncio.to_thread(okx.disconnect), asyncio.to_thread(mexc.disconnect))
    await asyncio.gather(*readers)  # each drains what is queued, then its `async for` ends
    return tallies


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--live", action="store_true", help="real public endpoints (needs internet)")
    p.add_argument("--okx", help="OKX base, e.g. wss://localhost:PORT/ws/v5")
    p.add_argument("--mexc", help="MEXC stream URL")
    p.add_argument("--seconds", type=float, default=10.0, help="how long the streams run")
    args = p.parse_args()
    if not args.live and not (args.okx and args.mexc):
        p.error("give --okx and --mexc, or --live")
    okx_url = LIVE_OKX if args.live else args.okx + "/public"
    tallies = asyncio.run(stream(okx_url, LIVE_MEXC if args.live else args.mexc, args.seconds))
    ok = all(t.messages > 0 for t in tallies)
    for t in tallies:
        checked = "" if args.live else f"; lost {t.lost}, out of order {t.out_of_order}"
        print(f"{t.name:5} {t.messages} messages{checked}")
        ok &= args.live or (t.lost == 0 and t.out_of_order == 0)
    print("Result:", "ok" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
