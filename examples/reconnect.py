"""The recommended production loop: read until the stream ends, then reconnect with a capped
back-off. Subscriptions are made once; the connector replays them on every open (and, for a
private OKX connector, after every successful login).

    python examples/reconnect.py wss://ws.okx.com:8443/ws/v5/public
"""

import sys
import time

import _corvane_ws_module as ws


def stream_forever(connector, url, handle, first_backoff=1.0, max_backoff=30.0, reconnects=None):
    """Calls handle(message) for every message, reconnecting whenever the stream ends.
    Returns after `reconnects` reconnections (None: never); Ctrl-C ends it too."""
    backoff, done = first_backoff, 0
    while True:
        try:
            connector.connect(url)
        except RuntimeError as e:  # a URL the client cannot use: retrying will not help
            raise SystemExit(str(e)) from e
        try:
            for message in connector.wsrun():
                backoff = first_backoff  # traffic again: the next outage starts with a short wait
                handle(message)
        except RuntimeError as e:
            if str(e) != "No more messages":
                raise
        finally:
            connector.disconnect()
        if reconnects is not None and done >= reconnects:
            return
        done += 1
        time.sleep(backoff)
        backoff = min(backoff * 2, max_backoff)


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
