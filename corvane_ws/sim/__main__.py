"""python -m corvane_ws.sim: run the local exchange simulator until Ctrl-C or SIGTERM.

Prints one JSON line when ready: the ports and the CA file that clients must trust
(SSL_CERT_FILE=<ca_file>); then, on standard error, the URLs, the test credentials and the
control endpoints.
"""

import argparse
import asyncio
import logging
import signal
import sys
import tempfile
from pathlib import Path

from .certs import KINDS
from .guide import describe
from .mexc_rules import MexcLimits
from .okx_rules import OkxLimits
from .server import Simulator, ready_line


def parse_args(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(prog="python -m corvane_ws.sim", description=__doc__.splitlines()[0])
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=0, help="WebSocket port (default: any free)")
    p.add_argument("--rest-port", type=int, default=0, help="REST port of both exchanges (default: any free)")
    p.add_argument("--control-port", type=int, default=None,
                   help="plain-HTTP control port (default: none; 0 for any free)")
    p.add_argument("--rate", type=float, default=20.0,
                   help="data messages per second per subscription (default 20)")
    p.add_argument("--feed-limit", type=int, default=None,
                   help="stop each subscription's feed after this many messages")
    p.add_argument("--cert", choices=KINDS, default="valid", help="certificate to serve")
    p.add_argument("--okx-idle-close", type=float, default=30.0,
                   help="seconds without a subscription or a push before OKX closes (default 30)")
    p.add_argument("--mexc-connection-life", type=float, default=24 * 3600.0,
                   help="seconds a MEXC connection lives (default 24 hours)")
    p.add_argument("--ca-file", type=Path, default=None,
                   help="where to write the test CA (default: a temporary directory)")
    return p.parse_args(argv)


async def main(args: argparse.Namespace) -> None:
    # Writes to peers that have just gone are expected here; asyncio would warn about each.
    logging.getLogger("asyncio").setLevel(logging.ERROR)
    sim = Simulator(host=args.host, port=args.port, rest_port=args.rest_port,
                    control_port=args.control_port, cert=args.cert, rate=args.rate,
                    feed_limit=args.feed_limit,
                    okx_limits=OkxLimits(idle_close_s=args.okx_idle_close),
                    mexc_limits=MexcLimits(connection_life_s=args.mexc_connection_life))
    ca_file = args.ca_file or Path(tempfile.mkdtemp(prefix="corvane-sim-")) / "ca.pem"
    sim.certificates.write_ca(ca_file)
    await sim.start()
    print(ready_line(sim, ca_file), flush=True)
    print(describe(sim, ca_file), file=sys.stderr, flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    await sim.stop()


if __name__ == "__main__":
    asyncio.run(main(parse_args(sys.argv[1:])))
