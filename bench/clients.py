"""One benchmark client per process: reads the push server's messages through one library and
prints a JSON line of results. Every client does the same work per message: it receives the
message as a Python str and reads the sequence number (and, when measuring latency, the send
time) from fixed offsets; with --realistic it also parses every message with json.loads, as a
trading program does.

    python bench/clients.py CLIENT URL SIZE COUNT [--latency | --realistic]
"""

import argparse
import array
import asyncio
import json
import os
import resource
import ssl
import sys
import time

HEAD = '{"arg":{"channel":"books","instId":"BTC-USDT"},"action":"update","data":[{"seqId":'
SEQ_AT = len(HEAD)
SEQ_END = SEQ_AT + 12
TS_AT = SEQ_END + len(',"ts":')
TS_END = TS_AT + 20


def cpu_now() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


class Meter:
    """Checks every sequence number; times and costs the run from its first message to its last;
    for paced runs also records each message's one-way latency."""

    def __init__(self, count: int, size: int, latency: bool, realistic: bool = False) -> None:
        self.count = count
        self.size = size
        self.expected = 1
        self.lost = self.out_of_order = 0
        self.first = self.last = self.cpu_first = self.cpu_last = 0.0
        self.reader_first = self.reader_last = 0.0  # CPU of the reading thread alone
        self.delays = array.array("q")
        self.take = (self.take_timed if latency else self.take_parsed if realistic
                     else self.take_counted)

    def take_counted(self, message: str) -> bool:
        """Takes one message; True once the last has arrived."""
        seq = int(message[SEQ_AT:SEQ_END])
        if seq != self.expected:
            self.gap(seq)
        self.expected = seq + 1
        if seq == 1:
            self.first, self.cpu_first = time.perf_counter(), cpu_now()
            self.reader_first = time.thread_time()
        if seq >= self.count:
            self.last, self.cpu_last = time.perf_counter(), cpu_now()
            self.reader_last = time.thread_time()
            return True
        return False

    def take_parsed(self, message: str, loads=json.loads) -> bool:
        loads(message)
        return self.take_counted(message)

    def take_timed(self, message: str) -> bool:
        self.delays.append(time.time_ns() - int(message[TS_AT:TS_END]))
        return self.take_counted(message)

    def gap(self, seq: int) -> None:
        if seq > self.expected:
            self.lost += seq - self.expected
        else:
            self.out_of_order += 1

    def result(self) -> dict:
        received = self.expected - 1 - self.lost
        out = {"messages": received, "seconds": self.last - self.first,
               "cpu": self.cpu_last - self.cpu_first,
               "reader_cpu": self.reader_last - self.reader_first,
               "maxrss_kb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
               "bytes": received * self.size, "lost": self.lost + self.count - (self.expected - 1),
               "out_of_order": self.out_of_order}
        if self.delays:
            delays = sorted(self.delays)
            pick = lambda q: delays[min(len(delays) - 1, int(q * len(delays)))] / 1000.0  # noqa: E731
            out.update(p50_us=pick(0.5), p99_us=pick(0.99), p999_us=pick(0.999))
        return out


def tls() -> ssl.SSLContext:
    return ssl.create_default_context(cafile=os.environ["SSL_CERT_FILE"])


# ---- the clients ----

def corvane(url: str, meter: Meter) -> None:
    import _corvane_ws_module as ws

    c = ws.OkxConnector()
    c.connect(url)
    take = meter.take
    for message in c.wsrun():
        if take(message):
            break
    c.disconnect()


def corvane_meta(url: str, meter: Meter) -> None:
    import _corvane_ws_module as ws

    c = ws.OkxConnector()
    c.connect(url)
    take, message_type = meter.take, ws.Message
    for item in c.wsrun(meta=True):  # Message objects, with receive times; the open event too
        if type(item) is message_type and take(item.data):
            break
    c.disconnect()


async def corvane_async(url: str, meter: Meter) -> None:
    import _corvane_ws_module as ws

    c = ws.OkxConnector()
    c.connect(url)
    take = meter.take
    async for message in c.wsrun_async():
        if take(message):
            break
    c.disconnect()


def package(url: str, meter: Meter) -> None:
    import corvane_ws as cw

    with cw.OKX(url=url) as c:  # its defaults: the queue bounded, the module's lines logged
        take = meter.take
        for message in c:
            if take(message):
                break


def package_unbounded(url: str, meter: Meter) -> None:
    import corvane_ws as cw

    with cw.OKX(url=url, limit_queue=0) as c:  # the module's own default: no bound
        take = meter.take
        for message in c:
            if take(message):
                break


async def package_async(url: str, meter: Meter) -> None:
    import corvane_ws as cw

    async with cw.AsyncOKX(url=url) as c:
        take = meter.take
        async for message in c:
            if take(message):
                break


def queued(connector, count: int) -> None:
    """Waits until the whole stream is queued, so that what follows times the read path alone."""
    deadline = time.monotonic() + 120
    while connector.stats()["received_messages"] < count and time.monotonic() < deadline:
        time.sleep(0.01)


def corvane_drain(url: str, meter: Meter) -> None:
    import _corvane_ws_module as ws

    c = ws.OkxConnector()
    c.connect(url)
    queued(c, meter.count)
    take = meter.take
    for message in c.wsrun():
        if take(message):
            break
    c.disconnect()


def package_drain(url: str, meter: Meter) -> None:
    import corvane_ws as cw

    with cw.OKX(url=url) as c:
        queued(c.native, meter.count)
        take = meter.take
        for message in c:
            if take(message):
                break


def handoff(url: str, meter: Meter) -> None:
    import _bench_handoff

    c = _bench_handoff.FeedConnector()
    c.fill(meter.size, meter.count)  # no network: a C++ thread fills the queue
    take = meter.take
    for message in c.wsrun():
        if take(message):
            break


def websockets_sync(url: str, meter: Meter) -> None:
    from websockets.sync.client import connect

    take = meter.take
    with connect(url, ssl=tls(), max_size=None, compression=None) as w:
        for message in w:
            if take(message):
                break


async def websockets_async(url: str, meter: Meter) -> None:
    from websockets.asyncio.client import connect

    take = meter.take
    async with connect(url, ssl=tls(), max_size=None, compression=None, ping_interval=None) as w:
        async for message in w:
            if take(message):
                break


async def aiohttp_client(url: str, meter: Meter) -> None:
    import aiohttp

    take = meter.take
    async with aiohttp.ClientSession() as session:
        async with session.ws_connect(url, ssl=tls(), max_msg_size=0, autoping=False,
                                      compress=0) as w:
            async for message in w:
                if message.type != aiohttp.WSMsgType.TEXT or take(message.data):
                    break


def websocket_client(url: str, meter: Meter) -> None:
    import websocket  # websocket-client; uses wsaccel when installed

    take = meter.take
    w = websocket.create_connection(url, sslopt={"ca_certs": os.environ["SSL_CERT_FILE"]})
    try:
        recv = w.recv
        while not take(recv()):
            pass
    finally:
        w.close()


async def picows_client(url: str, meter: Meter) -> None:
    from picows import WSListener, WSMsgType, ws_connect

    take, text = meter.take, WSMsgType.TEXT

    class Listener(WSListener):
        def on_ws_frame(self, transport, frame):
            if frame.msg_type == text:
                if take(frame.get_payload_as_utf8_text()):
                    transport.disconnect()
            elif frame.msg_type == WSMsgType.CLOSE:
                transport.disconnect()

    transport, _ = await ws_connect(Listener, url, ssl_context=tls(), max_frame_size=64 << 20)
    await transport.wait_disconnected()


CLIENTS = {
    "corvane": corvane,
    "corvane-async": corvane_async,
    "corvane-meta": corvane_meta,
    "handoff": handoff,
    "package": package,
    "package-unbounded": package_unbounded,
    "corvane-drain": corvane_drain,
    "package-drain": package_drain,
    "package-async": package_async,
    "picows": picows_client,
    "websockets-sync": websockets_sync,
    "websockets-async": websockets_async,
    "aiohttp": aiohttp_client,
    "websocket-client": websocket_client,
}


def main() -> None:
    p = argparse.ArgumentParser()
    p.add_argument("client", choices=sorted(CLIENTS))
    p.add_argument("url")
    p.add_argument("size", type=int)
    p.add_argument("count", type=int)
    p.add_argument("--latency", action="store_true")
    p.add_argument("--realistic", action="store_true")
    args = p.parse_args()
    meter = Meter(args.count, args.size, args.latency, args.realistic)
    run = CLIENTS[args.client]
    if asyncio.iscoroutinefunction(run):
        import uvloop  # asyncio peers run on their fastest loop

        uvloop.run(run(args.url, meter))
    else:
        run(args.url, meter)
    print(json.dumps(meter.result()), flush=True)


if __name__ == "__main__":
    sys.exit(main())
