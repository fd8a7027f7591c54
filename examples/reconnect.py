"""The recommended production loop: read until the stream ends, then connect again after a
capped, jittered exponential back-off. A failed connect (a refused URL, a listen-key request that
timed out) is reported on one line and retried like a dropped stream. Subscriptions are made
once; the connector replays them on every open (and, for a private OKX connector, after every
successful login). The loop ends only on Ctrl-C or after an optional number of attempts.

    python examples/reconnect.py wss://ws.okx.com:8443/ws/v5/public
"""

import random
import sys
import time

import _corvane_ws_module as ws


def stream_forever(connector, url, handle, first_backoff=1.0, max_backoff=30.0, attempts=None,
                   report=None):
    """Calls handle(message) for every message, connecting again whenever the stream ends or a
    connect fails. Returns after `attempts` connects (None: never); Ctrl-C ends it too. Each
    failure is passed to report(line), by default printed on standard error."""
    report = report or (lambda line: print(line, file=sys.stderr, flush=True))
    backoff, made = first_backoff, 0
    try:
        while attempts is None or made < attempts:
            made += 1
            try:
                connector.connect(url)
            except RuntimeError as e:
                report(f"connect failed: {' '.join(str(e).split())}")
            else:
                if read_until_end(connector, handle):
                    backoff = first_backoff  # it carried traffic: the next outage starts short
            if attempts is not None and made >= attempts:
                break
            time.sleep(random.uniform(backoff / 2, backoff))  # jitter: peers do not retry in step
            backoff = min(backoff * 2, max_backoff)
    finally:
        # Only now: between streams the connector keeps what it may reuse (a MEXC listen key).
        connector.disconnect()


def read_until_end(connector, handle):
    """Reads until the stream ends; True if any message came."""
    got = False
    try:
        for message in connector.wsrun():
            got = True
            handle(message)
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
