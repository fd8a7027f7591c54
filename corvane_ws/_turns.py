"""Whose turn it is to take messages off the module's queue: the program's reads, or a call
waiting for the reply to its request when no one else reads. The program's reads go first; a
waiting call sleeps until its reply is matched (whoever read it completes its future, which
wakes it) or the turn comes free, and never polls.

``ReadTurn`` serves the blocking connector, from any thread; ``AsyncReadTurn`` the asyncio
connector, on its event loop only."""

from __future__ import annotations

import asyncio
import threading
from concurrent.futures import Future
from typing import Any


class ReadTurn:
    """One reader at a time, across threads."""

    def __init__(self) -> None:
        self._changed = threading.Condition()
        self._busy = False
        self._wanted = 0  # program reads waiting for the turn: they go before a waiting call

    def take(self, timeout: float | None) -> bool:
        """For a program read: the turn, waiting at most `timeout` seconds (None: as long as it
        takes); False when it did not come in time."""
        with self._changed:
            self._wanted += 1
            try:
                if not self._changed.wait_for(lambda: not self._busy, timeout):
                    return False
            finally:
                self._wanted -= 1
            self._busy = True
            return True

    def take_for(self, reply: Future[Any], timeout: float) -> bool:
        """For a call waiting for `reply`: True with the turn, when no one else reads or wants
        to; False once the reply came or `timeout` seconds passed."""
        with self._changed:
            self._changed.wait_for(
                lambda: reply.done() or not (self._busy or self._wanted), timeout)
            if reply.done() or self._busy or self._wanted:
                return False
            self._busy = True
            return True

    def release(self) -> None:
        with self._changed:
            self._busy = False
            self._changed.notify_all()

    def wake(self, _: object = None) -> None:
        """A reply came: the calls waiting look again (a future's done callback)."""
        with self._changed:
            self._changed.notify_all()


class AsyncReadTurn:
    """One reader at a time among the tasks of one event loop. A program read that starts
    while a waiting call reads interrupts that read (nothing is lost: the module keeps the
    message) and goes on once the call has let go."""

    def __init__(self) -> None:
        self._program = 0  # program reads under way
        self._call: asyncio.Timeout | None = None  # a waiting call's read, to interrupt
        self._let_go: asyncio.Future[None] | None = None  # done when that read has ended
        self._freed: asyncio.Future[None] | None = None  # done when no one reads

    @property
    def busy(self) -> bool:
        return bool(self._program) or self._call is not None

    async def start_program_read(self) -> None:
        self._program += 1  # first: a waiting call starts no read from now on
        if self._call is None or self._let_go is None:
            return
        if not self._call.expired():
            self._call.reschedule(asyncio.get_running_loop().time())
        try:
            await asyncio.shield(self._let_go)
        except BaseException:
            self.end_program_read()
            raise

    def end_program_read(self) -> None:
        self._program -= 1
        self._free()

    async def until_free(self, reply: asyncio.Future[Any], timeout: float) -> None:
        """For a waiting call while another reads: until its `reply` came, the turn is free or
        `timeout` seconds passed."""
        loop = asyncio.get_running_loop()
        if self._freed is None or self._freed.get_loop() is not loop:  # a connector outlives loops
            self._freed = loop.create_future()
        await asyncio.wait([reply, self._freed], timeout=timeout,
                           return_when=asyncio.FIRST_COMPLETED)

    def start_call_read(self, scope: asyncio.Timeout) -> None:
        """A waiting call reads within `scope`; a program read may cut it short."""
        self._call = scope
        self._let_go = asyncio.get_running_loop().create_future()

    def end_call_read(self) -> None:
        let_go, self._call, self._let_go = self._let_go, None, None
        if let_go is not None:
            let_go.set_result(None)
        self._free()

    def _free(self) -> None:
        if not self.busy and self._freed is not None:
            freed, self._freed = self._freed, None
            freed.set_result(None)
