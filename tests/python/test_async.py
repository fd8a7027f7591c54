"""`async for` over a connector: the same messages as wsrun(), the loop never blocked, nothing
lost to a cancelled wait. Each test runs on asyncio's own loop and on uvloop."""

import asyncio
import gc
import threading
import time

import pytest
import uvloop

import _corvane_ws_module as m
from conftest import READ_TIMEOUT, open_connection, private_mexc

LOOPS = {"asyncio": asyncio.new_event_loop, "uvloop": uvloop.new_event_loop}


@pytest.fixture(params=sorted(LOOPS))
def run(request):
    """Runs a coroutine to its end on the loop kind of the test, bounded in time."""
    def run_on_loop(coro):
        with asyncio.Runner(loop_factory=LOOPS[request.param]) as runner:
            return runner.run(asyncio.wait_for(coro, READ_TIMEOUT * 3))
    return run_on_loop


class Heartbeat:
    """A task of the loop under test ticking every millisecond. A call that blocks the loop
    stalls every tick it spans; a busy machine only delays some. So what is measured is the share
    of a window spent in pauses of 40 ms or more, not the longest pause."""

    def __init__(self):
        self.pauses = []  # (end, length) of each pause of 40 ms or more
        self.task = asyncio.ensure_future(self.beat())

    async def beat(self):
        last = time.perf_counter()
        while True:
            await asyncio.sleep(0.001)
            now = time.perf_counter()
            if now - last >= 0.04:
                self.pauses.append((now, now - last))
            last = now

    async def stalled_share(self, awaitable):
        """Awaits `awaitable`; its result and the share of its wait the loop stood still."""
        await asyncio.sleep(0.002)  # the heartbeat is ticking before the wait begins
        start = time.perf_counter()
        result = await awaitable
        await asyncio.sleep(0.001)  # a pause that ends with the wait is counted too
        end = time.perf_counter()
        self.task.cancel()
        stalled = sum(min(length, end_at - start) for end_at, length in self.pauses if end_at > start)
        return result, stalled / (end - start)


def numbered(count):
    return [f'{{"seq":{i}}}' for i in range(count)]


class TestAsyncStream:
    def test_sync_and_async_readers_share_the_stream(self, sim, run):
        c = m.OkxConnector()
        conn = open_connection(sim, c, "/raw")
        sync_got, async_got = [], []

        def sync_reader():
            try:
                for message in c.wsrun():
                    if message == "end":
                        c.disconnect()  # what came before is queued: both readers drain it
                    else:
                        sync_got.append(message)
            except RuntimeError:
                pass

        async def main():
            thread = threading.Thread(target=sync_reader)
            thread.start()
            sender = asyncio.ensure_future(
                asyncio.to_thread(sim.send_many, conn, numbered(3000) + ["end"]))
            async for message in c.wsrun_async():
                if message == "end":
                    await asyncio.to_thread(c.disconnect)
                else:
                    async_got.append(message)
            await sender
            await asyncio.to_thread(thread.join, READ_TIMEOUT)

        run(main())
        assert sorted(sync_got + async_got, key=lambda x: int(x[7:-1])) == numbered(3000)
        for got in (sync_got, async_got):  # each reader sees its share in arrival order
            assert got == sorted(got, key=lambda x: int(x[7:-1]))

    def test_the_end_of_the_stream_ends_the_loop_and_a_reconnect_resumes(self, sim, run):
        c = m.OkxConnector()
        conn = open_connection(sim, c, "/raw")

        async def main():
            sim.send_many(conn, ["a", "b"])
            sim.close(conn)
            first = [x async for x in c.wsrun_async(meta=True)]
            second = open_connection(sim, c, "/raw")
            sim.send(second, "c")
            reader = c.wsrun_async()
            return first, await anext(reader)

        first, after = run(main())
        assert [(type(x).__name__, x.connection) for x in first] == [
            ("Message", 1), ("Message", 1), ("Event", 1)]
        assert ([x.data for x in first[:2]], first[2].kind, after) == (["a", "b"], "close", "c")

    def test_a_cancelled_wait_loses_nothing(self, sim, run):
        c = m.OkxConnector()
        conn = open_connection(sim, c, "/raw")

        async def main():
            reader = c.wsrun_async()
            waiting = asyncio.ensure_future(anext(reader))
            await asyncio.sleep(0)  # it waits now
            waiting.cancel()
            with pytest.raises(asyncio.CancelledError):
                await waiting
            with pytest.raises(TimeoutError):
                async with asyncio.timeout(0.05):
                    await anext(reader)
            sim.send_many(conn, ["kept", "too"])
            return [await anext(reader), next(c.wsrun())]

        assert run(main()) == ["kept", "too"]

    def test_a_waiting_reader_task_nobody_holds_is_kept_alive(self, sim, run):
        """As a task waiting on an asyncio stream is: the loop holds what it waits on."""
        c = m.OkxConnector()
        conn = open_connection(sim, c, "/raw")
        got = []

        async def reader():
            async for message in c.wsrun_async():
                got.append(message)

        async def main():
            asyncio.get_running_loop().create_task(reader())  # no reference kept
            await asyncio.sleep(0.05)  # it waits now
            gc.collect()
            await asyncio.to_thread(sim.send, conn, "after collect")
            async with asyncio.timeout(READ_TIMEOUT):
                while not got:
                    await asyncio.sleep(0.01)
            await asyncio.to_thread(c.disconnect)

        run(main())
        assert got == ["after collect"]

    def test_one_iterator_read_from_loops_in_turn_and_freed_on_another_thread(self, sim):
        c = m.OkxConnector()
        conn = open_connection(sim, c, "/raw")
        holder, got = [c.wsrun_async()], []

        async def take(count):
            for _ in range(count):
                got.append(await asyncio.wait_for(anext(holder[0]), READ_TIMEOUT))

        sender = threading.Thread(target=sim.send_many, args=(conn, numbered(600)))
        sender.start()
        for turn in range(6):  # each turn a thread and a loop of its own, both kinds in turn
            factory = LOOPS[sorted(LOOPS)[turn % 2]]
            reader = threading.Thread(target=asyncio.run, args=(take(100),),
                                      kwargs={"loop_factory": factory})
            reader.start()
            reader.join(READ_TIMEOUT * 2)
        sender.join(READ_TIMEOUT)
        freer = threading.Thread(target=holder.clear)
        freer.start()
        freer.join(READ_TIMEOUT)
        assert got == numbered(600)

    def test_the_loop_keeps_running_while_a_reader_waits(self, sim, run):
        c = m.OkxConnector()
        conn = open_connection(sim, c, "/raw")

        async def main():
            beat = Heartbeat()

            async def wait():
                reader = asyncio.ensure_future(anext(c.wsrun_async()))
                await asyncio.sleep(0.3)
                await asyncio.to_thread(sim.send, conn, "late")
                return await reader

            return await beat.stalled_share(wait())

        message, stalled = run(main())
        assert message == "late"
        assert stalled < 0.5, f"the loop stood still {stalled:.0%} of the wait"

    def test_blocking_calls_belong_in_a_thread(self, sim, run):
        """A private MEXC connect whose listen-key request is slow, awaited through to_thread."""
        c = private_mexc(sim)
        sim.sim.add_rest_fault("slow", "/api/v3/userDataStream")

        async def main():
            beat = Heartbeat()
            _, stalled = await beat.stalled_share(asyncio.to_thread(c.connect, sim.sim.url("/ws")))
            pong = await anext(c.wsrun_async())
            await asyncio.to_thread(c.disconnect)
            return pong, stalled

        pong, stalled = run(main())
        assert pong == '{"id":0,"code":0,"msg":"PONG"}'
        assert stalled < 0.5, f"the loop stood still {stalled:.0%} of the connect"

