"""Fixtures: the local exchange simulator on loopback, trusted through SSL_CERT_FILE."""

import importlib.util
import json
import os
import subprocess
import sys
import threading
import urllib.request
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))

import _corvane_ws_module as m  # noqa: E402
from corvane_ws.sim import MEXC_TEST, SimulatorThread  # noqa: E402
from corvane_ws.sim.certs import TestCertificates  # noqa: E402

READ_TIMEOUT = 10.0
ROOT = Path(__file__).resolve().parents[2]


def load_example(name):
    """One of examples/*.py as a module."""
    found = importlib.util.spec_from_file_location(name, ROOT / "examples" / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


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


class SimProcess:
    """The simulator as its own process (python -m corvane_ws.sim), driven through its control port, for
    measurements of this process that must not include the simulator's own memory."""

    def __init__(self, ca_file):
        root = Path(__file__).resolve().parents[2]
        self.process = subprocess.Popen(
            [sys.executable, "-m", "corvane_ws.sim", "--rate", "0", "--control-port", "0", "--ca-file", str(ca_file)],
            cwd=root, stdout=subprocess.PIPE, text=True)
        timer = threading.Timer(30, self.process.kill)  # a simulator that never starts fails the test
        timer.start()
        try:
            self.ready = json.loads(self.process.stdout.readline())
        finally:
            timer.cancel()
            timer.join()

    def url(self, path):
        return f"wss://localhost:{self.ready['ws_port']}{path}"

    def control(self, method, target):
        request = urllib.request.Request(f"http://127.0.0.1:{self.ready['control_port']}{target}",
                                         method=method)
        with urllib.request.urlopen(request, timeout=10) as reply:
            return json.loads(reply.read())

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()


@pytest.fixture
def sim_process(certificates, tmp_path):
    """A simulator process trusting the same CA as the in-process one."""
    ca_file = Path(os.environ["SSL_CERT_FILE"])
    running = SimProcess(tmp_path / "own-ca.pem")
    os.environ["SSL_CERT_FILE"] = running.ready["ca_file"]
    try:
        yield running
    finally:
        os.environ["SSL_CERT_FILE"] = str(ca_file)
        running.stop()


def private_mexc(sim):
    """A private MexcConnector whose REST host is the simulator's."""
    c = m.MexcConnector("", MEXC_TEST.api_key, MEXC_TEST.secret)
    c.rest_url = f"https://localhost:{sim.sim.rest_port}"
    return c


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
