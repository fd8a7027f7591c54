"""What a program needs to use a running simulator (its URLs, the test credentials, the CA to
trust and the control endpoints), and the simulator started inside a program for its tests."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

from . import control
from .runner import SimulatorThread
from .server import Simulator


def describe(sim: Simulator, ca_file: Path) -> str:
    """The lines `python -m corvane_ws.sim` prints for people, after its JSON line."""
    ws, rest = f"wss://localhost:{sim.ws_port}", f"https://localhost:{sim.rest_port}"
    okx, mexc = sim.okx_credentials, sim.mexc_credentials
    lines = [
        f"CA file: {ca_file}  (trust it: export SSL_CERT_FILE={ca_file})",
        f"OKX:  {ws}/ws/v5/public, {ws}/ws/v5/private, {ws}/ws/v5/business; REST {rest}",
        f"      api_key={okx.api_key} secret={okx.secret} passphrase={okx.passphrase}",
        f"MEXC: {ws}/ws; REST {rest}",
        f"      api_key={mexc.api_key} secret={mexc.secret}",
    ]
    if sim.control_port is None:
        lines.append("Control: none (start with --control-port 0)")
    else:
        lines.append(f"Control: http://127.0.0.1:{sim.control_port}")
        lines += ["  " + line for line in (control.__doc__ or "").splitlines()[2:] if line]
    return "\n".join(lines)


@contextmanager
def serve(**options: Any) -> Iterator[SimulatorThread]:
    """Runs a simulator on a thread of this process for as long as the ``with`` lasts, its test
    CA trusted through ``SSL_CERT_FILE`` meanwhile. ``options``: ``Simulator``'s (``rate``,
    ``control_port`` …). ``running.sim.url("/ws/v5/public")`` is an OKX URL,
    ``running.sim.rest_port`` MEXC's REST port; the credentials are ``OKX_TEST`` and
    ``MEXC_TEST``."""
    with tempfile.TemporaryDirectory(prefix="corvane-sim-") as folder:
        running = SimulatorThread(**options)
        ca_file = running.sim.certificates.write_ca(Path(folder) / "ca.pem")
        before = os.environ.get("SSL_CERT_FILE")
        os.environ["SSL_CERT_FILE"] = str(ca_file)
        try:
            with running:
                yield running
        finally:
            if before is None:
                os.environ.pop("SSL_CERT_FILE", None)
            else:
                os.environ["SSL_CERT_FILE"] = before
