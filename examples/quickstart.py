"""The corvane_ws package in one go, against the simulator it ships (started in this process):
public OKX tickers and MEXC deals, then an order placed, found and cancelled on each exchange,
and the calls for many orders: an amend, batches, open orders, cancel all, the dead-man switch.

    python examples/quickstart.py            # the local simulator
    python examples/quickstart.py --live     # OKX's and MEXC's public streams (no orders)
"""

import sys
from contextlib import nullcontext
from decimal import Decimal
from typing import Any

import corvane_ws as cw
from corvane_ws.sim import MEXC_TEST, OKX_TEST, serve


def stream(okx: cw.OKX, mexc: cw.MEXC, count: int) -> None:
    okx.subscribe("tickers", "BTC-USDT")  # recorded; sent on every open
    mexc.subscribe("spot@public.aggre.deals.v3.api.pb@100ms@BTCUSDT")
    with okx, mexc:  # connected and open, or ConnectError with the reason
        for name, connector in (("OKX", okx), ("MEXC", mexc)):
            for _ in range(count):
                message = connector.recv(timeout=10)  # TimeoutError if nothing comes
                print(name, str(message)[:100])


def trade(okx: cw.OKX, mexc: cw.MEXC) -> None:
    with okx, mexc:
        orders: list[tuple[Any, str]] = [(okx, "BTC-USDT"), (mexc, "BTCUSDT")]
        for n, (connector, symbol) in enumerate(orders):
            client_id = f"quickstart{n}"
            placed = connector.create_order(symbol, "limit", "buy", Decimal("0.001"),
                                            Decimal("20000"), client_order_id=client_id)
            found = connector.fetch_order(symbol, client_order_id=client_id)
            connector.cancel_order(symbol, client_order_id=client_id)
            print(type(connector).__name__, "placed", placed.get("ordId") or placed.get("orderId"),
                  "found", found.get("state") or found.get("status"), "cancelled")


def trade_many(okx: cw.OKX, mexc: cw.MEXC) -> None:
    with okx, mexc:
        okx.load_instruments("SPOT")  # no order waits for an instrument code lookup
        okx.cancel_all_orders_after(60)  # restarted while this program reads
        orders: list[cw.OrderRequest] = [
            {"symbol": "BTC-USDT", "type": "limit", "side": "buy", "amount": "0.001",
             "price": "20000", "client_order_id": "many1"},
            {"symbol": "BTC-USDT", "type": "limit", "side": "buy", "amount": "0.001",
             "price": "20000", "client_order_id": "many1"}]  # the same client id: refused
        for outcome in okx.create_orders(orders):
            if isinstance(outcome, cw.OrderRejected):
                print("OKX refused", outcome.code, outcome.msg)
            else:
                print("OKX placed", outcome["ordId"])
        okx.amend_order("BTC-USDT", client_order_id="many1", price="20100")
        print("OKX open", [(o["clOrdId"], o["px"]) for o in okx.fetch_open_orders("BTC-USDT")])
        print("OKX cancelled", len(okx.cancel_all_orders("BTC-USDT")))
        okx.cancel_all_orders_after(0)

        mexc.create_orders([{"symbol": "BTCUSDT", "type": "limit", "side": "buy",
                             "amount": "0.001", "price": p} for p in ("20000", "19990")])
        print("MEXC open", len(mexc.fetch_open_orders("BTCUSDT")))
        print("MEXC cancelled", len(mexc.cancel_all_orders("BTCUSDT")))


def main() -> None:
    live = "--live" in sys.argv
    with (nullcontext() if live else serve(rate=20)) as sim:
        if sim is None:
            stream(cw.OKX(), cw.MEXC(decode=True), 3)
            return
        okx_url, mexc_url = sim.sim.url("/ws/v5/public"), sim.sim.url("/ws")
        rest = f"https://localhost:{sim.sim.rest_port}"
        stream(cw.OKX(url=okx_url), cw.MEXC(url=mexc_url, decode=True), 3)
        for run in (trade, trade_many):
            run(cw.OKX(api_key=OKX_TEST.api_key, secret=OKX_TEST.secret,
                       passphrase=OKX_TEST.passphrase, url=sim.sim.url("/ws/v5/private"),
                       rest_url=rest),  # the simulator serves OKX's POSTs on its REST port
                cw.MEXC(api_key=MEXC_TEST.api_key, secret=MEXC_TEST.secret, url=mexc_url,
                        rest_url=rest))
    print("Result: ok")


if __name__ == "__main__":
    main()
