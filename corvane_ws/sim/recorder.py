"""What the simulator received, kept in order and waitable from any thread."""

import threading
from dataclasses import dataclass, field
from typing import Callable


@dataclass(frozen=True)
class Frame:
    conn: int  # connection number, from 1
    path: str
    data: str | bytes


@dataclass(frozen=True)
class RestRequest:
    method: str
    target: str
    headers: list[tuple[str, str]]
    body: str
    raw: bytes  # the request exactly as it came off the wire

    @property
    def path(self) -> str:
        return self.target.split("?", 1)[0]

    def header(self, name: str) -> str | None:
        return next((v for k, v in self.headers if k.lower() == name.lower()), None)


@dataclass
class Recorder:
    frames: list[Frame] = field(default_factory=list)
    requests: list[RestRequest] = field(default_factory=list)
    _cond: threading.Condition = field(default_factory=threading.Condition)

    def add_frame(self, frame: Frame) -> None:
        with self._cond:
            self.frames.append(frame)
            self._cond.notify_all()

    def add_request(self, request: RestRequest) -> None:
        with self._cond:
            self.requests.append(request)
            self._cond.notify_all()

    def notify(self) -> None:
        with self._cond:
            self._cond.notify_all()

    def wait_for(self, predicate: Callable[[], object], timeout: float) -> object:
        """Waits until predicate() is truthy and returns it; TimeoutError after `timeout` s."""
        with self._cond:
            result = self._cond.wait_for(predicate, timeout)
        if not result:
            raise TimeoutError(f"simulator: condition not met within {timeout} s")
        return result

    def clear(self) -> None:
        with self._cond:
            self.frames.clear()
            self.requests.clear()
