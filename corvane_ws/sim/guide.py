"""What a program needs to use a running simulator (its URLs, the test credentials, the CA to
trust and the control endpoints), and the simulator started inside a program for its tests."""

from __future__ import annotations

import os
import tempfile
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

from . import control
from .certs import TestCertificates
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


class _TrustedCa:
    """The test CA of every ``serve()`` in this process, trusted through ``SSL_CERT_FILE`` while
    at least one runs: a CA of each, each replacing the variable, would leave the clients of
    the others unable to verify. Any thread may enter and leave; its lock guards the count."""

    def __init__(self) -> None:
        self.certificates = TestCertificates()
        self._folder = tempfile.TemporaryDirectory(prefix="corvane-sim-")  # removed at exit
        self.ca_file = self.certificates.write_ca(Path(self._folder.name) / "ca.pem")
        self._lock = threading.Lock()
        self._users = 0
        self._before: str | None = None

    def enter(self) -> None:
        with self._lock:
            if not self._users:
                self._before = os.environ.get("SSL_CERT_FILE")
                os.environ["SSL_CERT_FILE"] = str(self.ca_file)
            self._users += 1

    def leave(self) -> None:
        with self._lock:
            self._users -= 1
            if self._users:
                return
            if self._before is None:
                os.environ.pop("SSL_CERT_FILE", None)
            else:
                os.environ["SSL_CERT_FILE"] = self._before


_made = threading.Lock()
_trusted: _TrustedCa | None = None


def _process_ca() -> _TrustedCa:
    global _trusted
    with _made:
        if _trusted is None:
            _trusted = _TrustedCa()
        return _trusted


@contextmanager
def serve(**options: Any) -> Iterator[SimulatorThread]:
    """Runs a simulator on a thread of this process for as long as the ``with`` lasts, its test
    CA trusted through ``SSL_CERT_FILE`` meanwhile (one CA for every ``serve()`` of the
    process, so that several can run at once). ``options``: ``Simulator``'s (``rate``,
    ``control_port`` …). ``running.sim.url("/ws/v5/public")`` is an OKX URL,
    ``running.sim.rest_port`` MEXC's REST port; the credentials are ``OKX_TEST`` and
    ``MEXC_TEST``."""
    ca = _process_ca()
    running = SimulatorThread(**{"certificates": ca.certificates, **options})
    ca.enter()
    try:
        with running:
            yield running
    finally:
        ca.leave()
