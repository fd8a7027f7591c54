"""corvane_ws: one WebSocket interface to OKX and MEXC for Python trading programs."""
