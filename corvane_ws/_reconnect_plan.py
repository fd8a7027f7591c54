"""What a reconnecting stream does next, without I/O: connect, read, report, wait the back-off,
stop. The blocking and the asyncio ``Reconnecting`` drive the same plan: they iterate it,
carry out each ``Step`` and tell it how the step went. Owned by the iteration that drives it."""

from __future__ import annotations

import random
from collections.abc import Callable, Iterator
from enum import Enum

from ._events import StreamEvent
from ._seconds import seconds


class Backoff:
    """A capped exponential back-off with jitter, starting over once a stream carried
    messages; `attempts` connects at most (None: no limit)."""

    def __init__(self, first: float, maximum: float, attempts: int | None,
                 uniform: Callable[[float, float], float] = random.uniform) -> None:
        if not 0 < first <= maximum:
            raise ValueError("need 0 < first_backoff <= max_backoff")
        self.first = seconds(first, "first_backoff")
        self.maximum = seconds(maximum, "max_backoff")
        self.attempts = attempts
        self._uniform = uniform
        self.current = first
        self.made = 0

    def more(self) -> bool:
        return self.attempts is None or self.made < self.attempts

    def next_delay(self, carried: bool) -> float:
        if carried:
            self.current = self.first
        delay = self._uniform(self.current / 2, self.current)  # peers do not retry in step
        self.current = min(self.current * 2, self.maximum)
        return delay


class Step(Enum):
    CONNECT = "connect; report a ConnectError through failed()"
    READ = "read the stream to its end; report what it carried through read()"
    WAIT = "wait `delay` seconds or until stopped; report through waited()"


class ReconnectPlan:
    """The steps of one iteration: a ``Step`` to carry out, or a ``StreamEvent`` to give the
    program. `stopping` says whether ``stop()`` was called."""

    def __init__(self, backoff: Backoff, stopping: Callable[[], bool]) -> None:
        self._backoff = backoff
        self._stopping = stopping
        self._failure: str | None = None
        self._failed = False
        self._carried = False
        self._reason: str | None = None
        self._stopped = False
        self.delay = 0.0
        """Seconds the WAIT step waits."""

    def failed(self, reason: str) -> None:
        """The CONNECT step failed: `reason`."""
        self._failed, self._failure = True, reason

    def read(self, carried: bool, reason: str | None) -> None:
        """The READ step ended: whether the stream carried anything, and why it ended."""
        self._carried, self._reason = carried, reason

    def waited(self, stopped: bool) -> None:
        """The WAIT step ended, by ``stop()`` or not."""
        self._stopped = stopped

    def __iter__(self) -> Iterator[Step | StreamEvent]:
        b = self._backoff
        while not self._stopping() and b.more():
            b.made += 1
            self._failed = self._carried = False
            self._reason = None
            yield Step.CONNECT
            if self._failed:
                yield StreamEvent("connect_failed", b.made, self._failure)
            else:
                yield StreamEvent("connected", b.made)
                # A stop() that came while connecting found nothing to close: the stream it
                # opened is not read, and the iteration's end closes it.
                if not self._stopping():
                    yield Step.READ
                yield StreamEvent("disconnected", b.made, self._reason)
            if self._stopping() or not b.more():
                break
            self.delay = b.next_delay(self._carried)
            yield StreamEvent("waiting", b.made, delay=self.delay)
            yield Step.WAIT
            if self._stopped:
                break
        yield StreamEvent("stopped", b.made)
