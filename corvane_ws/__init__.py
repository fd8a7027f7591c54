"""corvane_ws: one WebSocket interface to OKX and MEXC for Python trading programs.

- ``OKX``, ``MEXC``: blocking connectors (``with``, iteration, ``recv(timeout=)``, orders);
  ``AsyncOKX``, ``AsyncMEXC``: the same for asyncio (``async with``, ``async for``,
  ``await recv(timeout=)``).
- ``Reconnecting``, ``AsyncReconnecting``: a stream that reconnects after drops, reporting each
  step as a ``StreamEvent`` (as a connector made with ``report_gaps=True`` reports a break in
  an order-book sequence).
- ``OrderRequest`` (``MexcOrderRequest`` on MEXC), ``CancelRequest``, ``AmendRequest``: the
  orders of a batch call; ``OkxExtra``: OKX's other order fields; ``BatchResult``: what a
  batch returns.
- ``OKX.book(inst_id)``, ``MEXC.book(symbol)``: an ``OrderBook`` kept by the connector
  (``AsyncOrderBook`` on the asyncio connectors).
- The errors: see ``corvane_ws.errors``.
- ``corvane_ws.sim``: the local exchange simulator (``python -m corvane_ws.sim``).

The module's printed lines go to the logger "corvane_ws" once a connector of this package is
made; nothing is printed unless the program configures logging.
"""

from _corvane_ws_module import __version__, decode_mexc

from ._books import AsyncOrderBook, Level, OrderBook
from ._connection import (DEFAULT_OPEN_TIMEOUT, DEFAULT_QUEUE_LIMIT, AsyncConnection,
                          Connection)
from ._numbers import Number
from ._orders import (AmendRequest, BatchResult, CancelRequest, MexcOrderRequest, OkxExtra,
                      OrderRequest, OrderType, Side)
from .errors import (ConnectError, ConnectionClosed, LoginRefused, OpenTimeout, OrderNotFound,
                     OrderRejected, RateLimited, RequestNotSent, RequestOutcomeUnknown,
                     RequestRefused)
from .mexc import MEXC, MEXC_URL, AsyncMEXC, stream_name
from .okx import OKX, OKX_DEMO_HOST, OKX_HOST, AsyncOKX
from .reconnecting import AsyncReconnecting, Reconnecting, StreamEvent

__all__ = [
    "DEFAULT_OPEN_TIMEOUT",
    "DEFAULT_QUEUE_LIMIT",
    "MEXC",
    "MEXC_URL",
    "OKX",
    "OKX_DEMO_HOST",
    "OKX_HOST",
    "AmendRequest",
    "AsyncConnection",
    "AsyncMEXC",
    "AsyncOrderBook",
    "AsyncOKX",
    "AsyncReconnecting",
    "BatchResult",
    "CancelRequest",
    "ConnectError",
    "Connection",
    "ConnectionClosed",
    "Level",
    "LoginRefused",
    "MexcOrderRequest",
    "Number",
    "OkxExtra",
    "OpenTimeout",
    "OrderNotFound",
    "OrderBook",
    "OrderRejected",
    "OrderRequest",
    "OrderType",
    "RateLimited",
    "Reconnecting",
    "RequestNotSent",
    "RequestOutcomeUnknown",
    "RequestRefused",
    "Side",
    "StreamEvent",
    "__version__",
    "decode_mexc",
    "stream_name",
]
