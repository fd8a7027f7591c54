"""A local exchange simulator: OKX and MEXC WebSocket endpoints and MEXC's REST API over TLS.

It serves loopback only, with a test CA made at start, and records everything it receives, so
that the demo and the tests can run the connectors end to end without an exchange account or
network access.
"""

_EXTRA = ("websockets", "trustme")  # what the [sim] extra installs

try:
    from .credentials import MEXC_TEST, OKX_TEST, ExchangeCredentials
    from .guide import describe, serve
    from .runner import SimulatorThread
    from .server import Simulator
except ImportError as missing:
    if (missing.name or "").split(".")[0] not in _EXTRA:
        raise
    raise ImportError('corvane_ws.sim needs the [sim] extra (websockets, trustme): '
                      'pip install "corvane-ws[sim]"', name=missing.name) from missing

__all__ = ["ExchangeCredentials", "MEXC_TEST", "OKX_TEST", "Simulator", "SimulatorThread",
           "describe", "serve"]
