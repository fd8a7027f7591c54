"""An order whose answer is lost, resolved without placing it twice, on OKX and on MEXC.

Every order carries a client order id of the program's own (cl_ord_id). When its outcome is
unknown (OKX: the connection went before the reply; MEXC: RequestOutcomeUnknown), the program
asks the exchange for that client id with query_order: if the order exists it is not placed
again; if the exchange does not know it, placing it again is safe.

    python examples/order_outcome.py    # against the local simulator, which it starts

The simulator's fault controls lose the answers: an OKX connection dropped right after the
exchange took the order, and a MEXC REST answer that never comes.
"""

import json
import os
import subprocess
import sys
import urllib.request
from collections.abc import Callable
from pathlib import Path
from typing import Any

import _corvane_ws_module as ws

ROOT = Path(__file__).resolve().parents[1]
OKX_KEY = ("okx-test-key", "okx-test-secret", "okx-test-passphrase")  # the simulator's
MEXC_KEY = ("mexc-test-key", "mexc-test-secret")


def okx_order_exists(okx: ws.OkxConnector, inst_id: str, cl_ord_id: str) -> bool:
    """OKX answers an order query with code "0" and the order, or 51603 when it has none."""
    reply = json.loads(okx.query_order(inst_id=inst_id, cl_ord_id=cl_ord_id))
    if reply["code"] == "51603":
        return False
    if reply["code"] != "0":
        raise RuntimeError(f"order query refused: {reply}")
    return True


def mexc_order_exists(mexc: ws.MexcConnector, symbol: str, cl_ord_id: str) -> bool:
    """MEXC answers an order query with the order, or refuses it (-2013) when it has none."""
    try:
        mexc.query_order(inst_id=symbol, cl_ord_id=cl_ord_id)
        return True
    except ws.RequestRefused as e:
        if json.loads(e.body).get("code") in (-2013, -2011):
            return False
        raise


def okx_round(base: str, control: Callable[[str, str], Any]) -> bool:
    print("== OKX: the connection goes between the order and its reply ==")
    okx = ws.OkxConnector(*OKX_KEY)
    okx.subscribe(channel="orders", inst_type="SPOT")
    okx.connect(f"{base}/ws/v5/private")
    replies = okx.wsrun()
    print("  <-", next(replies))  # the login reply
    control("POST", "/okx?lose-order-answer=on")
    order = dict(inst_id="BTC-USDT", side="buy", px="20000", sz="0.001", tdMode="cash",
                 ordType="limit", cl_ord_id="outcome1")
    okx.place_order(ord_id="req1", **order)
    try:
        answer = next(m for m in replies if '"op":"order"' in m)
    except RuntimeError:  # "No more messages": the stream ended before the reply came
        answer = None
    print("  reply:", answer or "none, the connection is gone: outcome unknown")
    placed_twice = False
    if answer is None:
        exists = okx_order_exists(okx, "BTC-USDT", "outcome1")
        print("  query by client id:", "the order exists, not placing it again" if exists
              else "no such order, placing it again")
        if not exists:
            okx.connect(f"{base}/ws/v5/private")
            okx.place_order(ord_id="req2", **order)
            placed_twice = True
    okx.disconnect()
    orders = [f for f in control("GET", "/frames") if '"op":"order"' in f.get("text", "")]
    print(f"  orders the exchange received: {len(orders)}")
    return len(orders) == 1 and not placed_twice


def mexc_round(rest_url: str, control: Callable[[str, str], Any]) -> bool:
    print("== MEXC: the REST answer never comes ==")
    mexc = ws.MexcConnector("", *MEXC_KEY)
    mexc.rest_url = rest_url
    control("POST", "/fault?fault=lost-answer&path=/api/v3/order")
    order = dict(ord_id="a1", inst_id="BTCUSDT", side="BUY", sz="1", px="20000",
                 tdMode="LIMIT", cl_ord_id="outcome2")
    try:
        print("  reply:", mexc.place_order(**order))
        return False  # the simulator was to lose this answer
    except ws.RequestOutcomeUnknown as e:
        print("  ", e)
    exists = mexc_order_exists(mexc, "BTCUSDT", "outcome2")
    print("  query by client id:", "the order exists, not placing it again" if exists
          else "no such order, placing it again")
    if not exists:
        mexc.place_order(**order)
    posts = [r for r in control("GET", "/requests")
             if r["method"] == "POST" and r["target"] == "/api/v3/order"]
    print(f"  orders the exchange received: {len(posts)}")
    return exists and len(posts) == 1


def main() -> int:
    ca_file = ROOT / "build" / "examples" / "ca.pem"
    sim = subprocess.Popen([sys.executable, "-m", "corvane_ws.sim", "--control-port", "0", "--ca-file",
                            str(ca_file)], cwd=ROOT, stdout=subprocess.PIPE, text=True)
    try:
        assert sim.stdout is not None
        ready = json.loads(sim.stdout.readline() or "{}")
        os.environ["SSL_CERT_FILE"] = ready["ca_file"]  # the simulator's test CA

        def control(method: str, target: str) -> Any:
            request = urllib.request.Request(
                f"http://127.0.0.1:{ready['control_port']}{target}", method=method)
            with urllib.request.urlopen(request, timeout=10) as reply:
                return json.load(reply)

        okx_ok = okx_round(f"wss://localhost:{ready['ws_port']}", control)
        mexc_ok = mexc_round(f"https://localhost:{ready['rest_port']}", control)
        print("Result:", "each order placed once" if okx_ok and mexc_ok else "FAILED")
        return 0 if okx_ok and mexc_ok else 1
    finally:
        sim.terminate()
        sim.wait(10)


if __name__ == "__main__":
    sys.exit(main())
