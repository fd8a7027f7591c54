"""A local exchange simulator: OKX and MEXC WebSocket endpoints and MEXC's REST API over TLS.

It serves loopback only, with a test CA made at start, and records everything it receives, so
that the demo and the tests can run the connectors end to end without an exchange account or
network access.
"""

import importlib.util


def _require_extra() -> None:
    """The simulator's own dependencies, or an ImportError that names the extra to install."""
    missing = [name for name in ("websockets", "trustme") if importlib.util.find_spec(name) is None]
    if missing:
        raise ImportError(f"corvane_ws.sim needs the [sim] extra ({', '.join(missing)} missing): "
                          'pip install "corvane-ws[sim]"', name=missing[0])


_require_extra()

from .credentials import MEXC_TEST, OKX_TEST, ExchangeCredentials  # noqa: E402
from .guide import describe, serve  # noqa: E402
from .runner import SimulatorThread  # noqa: E402
from .server import Simulator  # noqa: E402

__all__ = ["ExchangeCredentials", "MEXC_TEST", "OKX_TEST", "Simulator", "SimulatorThread",
           "describe", "serve"]
