"""The corvane_ws package with asyncio: OKX and MEXC read in one event loop, each through a
reconnecting stream that reports its steps, stopped after a few messages.

    python examples/quickstart_async.py          # the local simulator (started in this process)
    python examples/quickstart_async.py --live   # OKX's and MEXC's public streams
"""

import asyncio
import sys
from contextlib import nullcontext

import corvane_ws as cw
from corvane_ws.sim import serve


async def read(name: str, connector: cw.AsyncConnection, count: int) -> None:
    async with cw.AsyncReconnecting(connector, first_backoff=1.0) as stream:
        got = 0
        async for item in stream:
            if isinstance(item, cw.StreamEvent):
                print(name, item.kind, item.reason or "")
                continue
            got += 1
            print(name, str(item)[:100])
            if got == count:
                await stream.stop()


async def main(okx: cw.AsyncOKX, mexc: cw.AsyncMEXC) -> None:
    okx.subscribe("tickers", "BTC-USDT")
    mexc.subscribe("spot@public.aggre.deals.v3.api.pb", symbol="BTCUSDT", speed="100ms")
    await asyncio.gather(read("OKX", okx, 3), read("MEXC", mexc, 3))


def run() -> None:
    live = "--live" in sys.argv
    with (nullcontext() if live else serve(rate=20)) as sim:
        if sim is None:
            asyncio.run(main(cw.AsyncOKX(), cw.AsyncMEXC(decode=True)))
        else:
            asyncio.run(main(cw.AsyncOKX(url=sim.sim.url("/ws/v5/public")),
                             cw.AsyncMEXC(url=sim.sim.url("/ws"), decode=True)))
    print("Result: ok")


if __name__ == "__main__":
    run()
