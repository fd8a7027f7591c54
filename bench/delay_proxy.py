"""A TCP proxy that holds every chunk DELAY_S in each direction before passing it on, in order:
a link with a fixed one-way delay, for the order round-trip benchmark.

python bench/delay_proxy.py DELAY_MS TARGET_PORT...  prints one JSON line: {target: listen port}
"""

import asyncio
import json
import sys


async def pipe(reader: asyncio.StreamReader, writer: asyncio.StreamWriter, delay: float) -> None:
    loop = asyncio.get_running_loop()
    queue: asyncio.Queue = asyncio.Queue()

    async def deliver() -> None:
        while (item := await queue.get()) is not None:
            due, data = item
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()
        writer.close()

    sender = asyncio.create_task(deliver())
    try:
        while data := await reader.read(65536):
            queue.put_nowait((loop.time() + delay, data))
    except ConnectionError:
        pass
    queue.put_nowait(None)
    try:
        await sender
    except ConnectionError:
        pass


async def serve(target: int, delay: float) -> int:
    async def on_client(reader, writer):
        try:
            up_reader, up_writer = await asyncio.open_connection("127.0.0.1", target)
        except OSError:
            writer.close()
            return
        await asyncio.gather(pipe(reader, up_writer, delay), pipe(up_reader, writer, delay))

    server = await asyncio.start_server(on_client, "127.0.0.1", 0)
    return server.sockets[0].getsockname()[1]


async def main() -> None:
    delay = float(sys.argv[1]) / 1000.0
    ports = {int(t): await serve(int(t), delay) for t in sys.argv[2:]}
    print(json.dumps(ports), flush=True)
    await asyncio.Event().wait()


if __name__ == "__main__":
    asyncio.run(main())
