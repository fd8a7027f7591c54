"""`async for` over a connector: the same messages as wsrun(), the loop never blocked, nothing
lost to a cancelled wait. Each test runs on asyncio's own loop and on uvloop."""

import asyncio
import json
import threading
import time

import pytest
import uvloop

import _corvane_ws_module as m
from _corvane_sim_connectors import mexc as sim_mexc
from conftest import READ_TIMEOUT, open_connection
from sim import MEXC_TEST

LOOPS = {"asyncio": asyncio.new_event_loop, "uvloop": uvloop.new_event_loop}


@pytest.fixture(params=sorted(LOOPS))
def run(request):
    """Runs a coroutine to its end on the loop kind of the test, bounded in time."""
    def run_on_loop(coro):
        with asyncio.Runner(loop_factory=LOOPS[request.param]) as runner:
            return runner.run(asyncio.wait_for(coro, READ_TIMEOUT * 3))
    return run_on_loop


class Heartbeat:
    """A task of the loop under test ticking every millisecond; `gap` is its longest pause."""

    def __init__(self):
        self.gap = 0.0
        self.task = asyncio.ensure_future(self.beat())

    async def beat(self):
        last = time.perf_counter()
        while True:
            await asyncio.sleep(0.001)
            now = time.perf_counter()
            self.gap, last = max(self.gap, now - last), now


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
            first = [x async for x in c.wsrun_async()]
            second = open_connection(sim, c, "/raw")
            sim.send(second, "c")
            reader = c.wsrun_async()
            return first, await anext(reader)

        assert run(main()) == (["a", "b"], "c")

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

    def test_a_quiet_stream_is_served_from_the_waiting_loop(self, sim, run):
        """Each message answers a frame the reader sent, so the stream is quiet and the waiting
        reader's loop runs the connection itself; sends still go out, in order, and a
        disconnect still ends the stream."""
        c = m.OkxConnector()
        conn = open_connection(sim, c, "/raw")
        rounds = 40

        def peer():
            for i in range(rounds):
                sim.wait_frames(conn, i + 1)
                sim.send(conn, f"reply {i}")

        async def main():
            reader = c.wsrun_async()
            answering = asyncio.ensure_future(asyncio.to_thread(peer))
            got = []
            for i in range(rounds):
                c.subscribe(channel="tickers", inst_id=f"I-{i}")
                got.append(await anext(reader))
            await answering
            waiting = asyncio.ensure_future(anext(reader))
            await asyncio.sleep(0)  # it waits now
            await asyncio.to_thread(c.disconnect)
            with pytest.raises(StopAsyncIteration):
                await waiting
            return got

        assert run(main()) == [f"reply {i}" for i in range(rounds)]
        sent = [json.loads(f)["args"][0]["instId"] for f in sim.frames(conn)]
        assert sent == [f"I-{i}" for i in range(rounds)]

    def test_the_loop_keeps_running_while_a_reader_waits(self, sim, run):
        c = m.OkxConnector()
        conn = open_connection(sim, c, "/raw")

        async def main():
            beat = Heartbeat()
            reader = asyncio.ensure_future(anext(c.wsrun_async()))
            await asyncio.sleep(0.3)
            await asyncio.to_thread(sim.send, conn, "late")
            message = await reader
            beat.task.cancel()
            return message, beat.gap

        message, gap = run(main())
        assert message == "late"
        assert gap < 0.025, f"the loop stalled for {gap * 1000:.0f} ms"

    def test_blocking_calls_belong_in_a_thread(self, sim, run):
        """A private MEXC connect whose listen-key request stalls, awaited through to_thread."""
        c = sim_mexc("", MEXC_TEST.api_key, MEXC_TEST.secret, sim.sim.rest_port)
        sim.sim.add_rest_fault("stall", "/api/v3/userDataStream")

        async def main():
            beat = Heartbeat()
            with pytest.raises(RuntimeError):
                await asyncio.to_thread(c.connect, sim.sim.url("/ws"))  # times out after 3 s
            await asyncio.to_thread(c.connect, sim.sim.url("/ws"))
            pong = await anext(c.wsrun_async())
            await asyncio.to_thread(c.disconnect)
            beat.task.cancel()
            return pong, beat.gap

        pong, gap = run(main())
        assert pong == '{"id":0,"code":0,"msg":"PONG"}'
        assert gap < 0.025, f"the loop stalled for {gap * 1000:.0f} ms"
