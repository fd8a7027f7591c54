"""Runs a Simulator on an event loop of its own thread, for programs that are not asyncio
(the test suite): every call is handed to that loop and waited for with a time limit."""

import asyncio
import threading
from concurrent.futures import Future
from typing import Any, Callable, Coroutine

from . import control
from .recorder import RestRequest
from .server import Simulator

CALL_TIMEOUT = 10.0


class SimulatorThread:
    def __init__(self, **options: Any) -> None:
        self.sim = Simulator(**options)
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, name="simulator", daemon=True)

    def __enter__(self) -> "SimulatorThread":
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def start(self) -> None:
        self._thread.start()
        self.run(self.sim.start())

    def stop(self) -> None:
        try:
            self.run(self.sim.stop())
        finally:
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join(CALL_TIMEOUT)
            if not self._thread.is_alive():
                self._loop.close()

    def run(self, coro: Coroutine, timeout: float = CALL_TIMEOUT) -> Any:
        future: Future = asyncio.run_coroutine_threadsafe(coro, self._loop)
        return future.result(timeout)

    # Shorthands for the scripting coroutines of Simulator.
    def send(self, conn: int, data: str | bytes, text: bool | None = None) -> None:
        self.run(self.sim.send(conn, data, text))

    def send_many(self, conn: int, messages: list[str | bytes], timeout: float = 60.0) -> None:
        self.run(self.sim.send_many(conn, messages), timeout)

    def close(self, conn: int, code: int = 1000, reason: str = "") -> None:
        self.run(self.sim.close(conn, code, reason))

    def abort(self, conn: int) -> None:
        self.run(self.sim.abort(conn))

    def reset(self, conn: int) -> None:
        self.run(self.sim.reset(conn))

    def send_repeated(self, conn: int, count: int, make: Callable[[int], str | bytes],
                      timeout: float = 300.0) -> None:
        self.run(self.sim.send_repeated(conn, count, make), timeout)

    def cut_mid_frame(self, conn: int) -> None:
        self.run(self.sim.cut_mid_frame(conn))

    def soon(self, make: Callable[[], Coroutine]) -> None:
        """Starts the coroutine make() on the loop without waiting for it (for sends that wait
        for a peer that does not read)."""
        self._loop.call_soon_threadsafe(lambda: self.sim.close_soon_task(make()))

    def inject_gap(self) -> None:
        self._loop.call_soon_threadsafe(self.sim.inject_gap)

    def control(self, method: str, target: str) -> Any:
        """A control endpoint's answer (sim/control.py), asked on the simulator's loop."""
        async def ask() -> Any:
            answer = control.handle(self.sim, RestRequest(method, target, [], "", b""))
            status, body = await answer if asyncio.iscoroutine(answer) else answer
            if status != 200:
                raise RuntimeError(f"control {method} {target}: {status} {body}")
            return body
        return self.run(ask())

    def okx_notice(self, conn: int) -> None:
        self.run(self.sim.okx_notice(conn))

    def release_okx_acks(self) -> None:
        self.run(self.sim.release_okx_acks())

    def wait_connection(self, count: int = 1, timeout: float = CALL_TIMEOUT) -> int:
        """Waits until `count` connections were accepted in all; returns the newest one's id."""
        self.sim.recorder.wait_for(lambda: len(self.sim.connections) >= count, timeout)
        return self.sim.connections[count - 1].id

    def wait_closed(self, conn: int, timeout: float = CALL_TIMEOUT) -> None:
        self.sim.recorder.wait_for(lambda: self.sim.connection(conn).closed.is_set(), timeout)

    def frames(self, conn: int | None = None) -> list:
        return [f.data for f in list(self.sim.recorder.frames) if conn in (None, f.conn)]

    def wait_frames(self, conn: int, count: int, timeout: float = CALL_TIMEOUT) -> list:
        self.sim.recorder.wait_for(lambda: len(self.frames(conn)) >= count, timeout)
        return self.frames(conn)
