"""The recommended production loop: read until the stream ends, then connect again after a
capped, jittered exponential back-off. Every end is reported on one line with its reason, taken
from the connection's events: a refused connect ("connect failed: Connection refused", "HTTP
503", a certificate that does not verify), a listen-key request that timed out, a close by the
exchange with its code. Subscriptions are made once; the connector replays them on every open
(and, for a private OKX connector, after every successful login). The loop ends on Ctrl-C, after
an optional number of attempts, or when another thread calls stop().

    python examples/reconnect.py wss://ws.okx.com:8443/ws/v5/public
"""

import random
import sys
import threading
from collections.abc import Callable

import _corvane_ws_module as ws


def stream_forever(connector: ws.BaseExchangeConnector, url: str,
                   handle: Callable[[str | bytes], object], first_backoff: float = 1.0,
                   max_backoff: float = 30.0, attempts: int | None = None,
                   report: Callable[[str], object] | None = None,
                   stopping: threading.Event | None = None) -> None:
    """Calls handle(message) for every message, connecting again whenever the stream ends or a
    connect fails. Returns after `attempts` connects (None: never), once `stopping` (a
    threading.Event) is set, or on Ctrl-C. Each failure is passed to report(line), by default
    printed on standard error."""
    report = report or (lambda line: print(line, file=sys.stderr, flush=True))
    stopping = stopping or threading.Event()
    backoff, made = first_backoff, 0
    try:
        while not stopping.is_set() and (attempts is None or made < attempts):
            made += 1
            try:
                connector.connect(url)
            except RuntimeError as e:  # nothing started: a listen key refused, a bad URL
                report(f"connect failed: {' '.join(str(e).split())}")
            else:
                if read_until_end(connector, handle, report):
                    backoff = first_backoff  # it carried traffic: the next outage starts short
            if stopping.is_set() or (attempts is not None and made >= attempts):
                break
            # jitter, so that peers do not retry in step; stop() ends the wait at once
            stopping.wait(random.uniform(backoff / 2, backoff))
            backoff = min(backoff * 2, max_backoff)
    finally:
        # Only now: between streams the connector keeps what it may reuse (a MEXC listen key).
        connector.disconnect()


def stop(connector: ws.BaseExchangeConnector, stopping: threading.Event) -> None:
    """From any thread: ends the loop of stream_forever, and the read it is in."""
    stopping.set()
    connector.disconnect()


def read_until_end(connector: ws.BaseExchangeConnector,
                   handle: Callable[[str | bytes], object],
                   report: Callable[[str], object]) -> bool:
    """Reads until the stream ends, reporting why it ended; True if any message came."""
    got = False
    try:
        for item in connector.wsrun(meta=True):
            if isinstance(item, ws.Message):
                got = True
                handle(item.data)
            elif item.kind == "fail":
                report(f"connect failed: {item.reason}")
            elif item.kind == "close" and item.by_peer:
                report(f"closed by the exchange: {item.code} {item.reason}".rstrip())
            elif item.kind == "error":
                report(f"connection error: {item.reason}")
    except RuntimeError as e:
        if str(e) != "No more messages":
            raise
    return got


def main() -> None:
    url = sys.argv[1] if len(sys.argv) > 1 else "wss://ws.okx.com:8443/ws/v5/public"
    okx = ws.OkxConnector()
    okx.subscribe(channel="tickers", inst_id="BTC-USDT")
    try:
        stream_forever(okx, url, lambda m: print(m[:120] if isinstance(m, str) else m[:60]))
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
