"""Fixtures: the local exchange simulator on loopback, trusted through SSL_CERT_FILE."""

import os
import sys
import threading
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))

from sim import SimulatorThread  # noqa: E402
from sim.certs import TestCertificates  # noqa: E402

READ_TIMEOUT = 10.0


@pytest.fixture(scope="session")
def certificates(tmp_path_factory):
    certs = TestCertificates()
    ca_file = certs.write_ca(tmp_path_factory.mktemp("ca") / "ca.pem")
    os.environ["SSL_CERT_FILE"] = str(ca_file)
    return certs


@pytest.fixture
def sim(certificates):
    with SimulatorThread(certificates=certificates) as running:
        yield running


def make_sim(certificates, **options):
    return SimulatorThread(certificates=certificates, **options)


def open_connection(sim, connector, path):
    """Connects and returns the simulator's number for the connection once the connector has
    seen it open (a frame from the simulator arrives only after the connector's open)."""
    before = len(sim.sim.connections)
    connector.connect(sim.sim.url(path))
    conn = sim.wait_connection(before + 1)
    sim.send(conn, "opened")
    assert read(connector, 1) == ["opened"]
    return conn


def read(connector, count, timeout=READ_TIMEOUT):
    """Reads `count` messages from a fresh iterator; if they do not all come within `timeout`
    seconds the connector is disconnected, which ends the read with "No more messages"."""
    iterator = connector.wsrun()
    timer = threading.Timer(timeout, connector.disconnect)
    timer.start()
    try:
        return [next(iterator) for _ in range(count)]
    finally:
        timer.cancel()
        timer.join()


def read_until_end(connector, timeout=READ_TIMEOUT):
    """Reads until "No more messages"; disconnects after `timeout` seconds if it never comes."""
    iterator = connector.wsrun()
    timer = threading.Timer(timeout, connector.disconnect)
    timer.start()
    out = []
    try:
        while True:
            try:
                out.append(next(iterator))
            except RuntimeError as e:
                assert str(e) == "No more messages"
                return out
    finally:
        timer.cancel()
        timer.join()
