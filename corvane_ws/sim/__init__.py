"""A local exchange simulator: OKX and MEXC WebSocket endpoints and MEXC's REST API over TLS.

It serves loopback only, with a test CA made at start, and records everything it receives, so
that the demo and the tests can run the connectors end to end without an exchange account or
network access.
"""

from .credentials import MEXC_TEST, OKX_TEST, ExchangeCredentials
from .guide import describe, serve
from .runner import SimulatorThread
from .server import Simulator

__all__ = ["ExchangeCredentials", "MEXC_TEST", "OKX_TEST", "Simulator", "SimulatorThread",
           "describe", "serve"]
