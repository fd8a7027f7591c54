"""The simulator: one TLS WebSocket listener routing by path, the MEXC REST listener (HTTPS),
and a plain-HTTP control listener for programs that drive it from outside (the C++ tests).

WebSocket paths: /ws/v5/public, /ws/v5/private, /ws/v5/business (OKX); /ws (MEXC, private
with ?listenKey=); /raw (no exchange: frames are only recorded, tests script what is sent);
/reject/<status> (the upgrade is refused with that HTTP status). OKX's REST GETs are answered on
the WebSocket port too, where a client derives OKX's REST host from the WebSocket URL.
"""

import asyncio
import itertools
import json
import socket
import ssl
import struct
import time
import weakref
from dataclasses import dataclass, field
from email.utils import formatdate
from pathlib import Path
from typing import Callable
from urllib.parse import parse_qsl, urlsplit

from websockets.asyncio.server import Server, ServerConnection, serve
from websockets.exceptions import ConnectionClosed
from websockets.http11 import Request, Response
from websockets.protocol import State

from . import control
from .certs import TestCertificates
from .credentials import MEXC_TEST, OKX_TEST, ExchangeCredentials
from .books import BOOK_QUIET_S, Books
from .feeds import Broadcasts, now_ms
from .http import json_response, read_request, response, wants_close
from .mexc import MexcSession
from . import depth_snapshots
from .mexc_rest import ListenKey, MexcRest
from .mexc_rules import MexcLimits
from .okx import OkxSession
from .okx_rest import OkxRest
from . import okx_rules
from .okx_rules import OkxLimits
from .recorder import Frame, Recorder, RestRequest

OKX_PATHS = {"/ws/v5/public", "/ws/v5/private", "/ws/v5/business"}
MEXC_PATH = "/ws"
RAW_PATH = "/raw"
REST_FAULTS = {"stall", "drop", "truncated", "huge", "status500", "not-json", "empty",
               "no-listen-key", "array", "rate-limit", "rate-limit-date", "okx-rate-limit",
               "continue", "slow", "lost-answer", "stale-after", "status302", "null",
               "code-in-200", "short-batch"}
RETRY_AFTER_S = 2  # what an injected HTTP 429 asks for
RETRY_AFTER_DATE_S = 7  # how far ahead the HTTP date of an injected 429 lies
REST_IDLE_S = 60.0  # how long the REST listener keeps an idle connection open
SLOW_S = 0.3  # how long a "slow" request waits for its answer


@dataclass
class Connection:
    """One accepted WebSocket connection."""

    id: int
    path: str
    query: dict[str, str]
    ws: ServerConnection | None  # dropped once closed, so that old connections cost nothing
    closed: asyncio.Event = field(default_factory=asyncio.Event)


@dataclass
class RestFault:
    fault: str
    path: str | None  # None: any path
    remaining: int
    answer: bytes = b""  # "raw": the answer's bytes, verbatim
    split: int = 0  # "raw": how many of them go in a TLS record of their own first
    close: bool = False  # "raw": the connection is closed once they are written


class RawSession:
    """No exchange behind it: what arrives is only recorded."""

    async def on_message(self, message: str | bytes) -> None:
        return None

    def close(self) -> None:
        return None


class Simulator:
    def __init__(self, *, host: str = "127.0.0.1", port: int = 0, rest_port: int = 0,
                 control_port: int | None = None, cert: str = "valid", rate: float = 0.0,
                 feed_limit: int | None = None, certificates: TestCertificates | None = None,
                 rest_min_tls: ssl.TLSVersion | None = None, okx_limits: OkxLimits | None = None,
                 mexc_limits: MexcLimits | None = None,
                 okx_credentials: ExchangeCredentials = OKX_TEST,
                 mexc_credentials: ExchangeCredentials = MEXC_TEST) -> None:
        self.host = host
        self.certificates = certificates or TestCertificates()
        self.cert = cert
        self.rest_min_tls = rest_min_tls  # the oldest TLS version the REST listener speaks
        self.rate = rate  # data messages per second per subscription; 0 sends none
        self.feed_limit = feed_limit  # data messages per subscription; None: no limit
        self.started_feeds = rate, feed_limit  # what POST /reset goes back to
        self.okx_credentials = okx_credentials
        self.mexc_credentials = mexc_credentials
        self.okx_answers_pings = True
        self.okx_lose_order_answer = False  # the next order is taken, its connection then lost
        self.okx_hold_acks = False  # subscriptions take effect, their acknowledgements wait
        self.okx_late_op_answers = False  # operations' replies follow the next request's answer
        self.okx_rate_limited_ops = 0  # the next so many operations are refused with 50011
        self.served_time: str | None = None  # what the time endpoints say instead of the time
        self.okx_51001_delay_s = 0.0  # an order refused with 51001 is answered this late
        self.okx_51001_repeat_s: float | None = None  # ... and answered again this much later
        self.okx_instruments_delay_s = 0.0  # the instrument list is answered this late
        self.okx_odd_answer: str | None = None  # the next operation's reply, out of form
        self.refuse_status: int | None = None  # every new WebSocket upgrade refused with it
        self.freeze_handshakes = False  # new TLS handshakes on the WebSocket port get no answer
        self._frozen: list[Connection] = []  # connections that neither read nor write
        self.okx_limits = okx_limits or OkxLimits()
        self.mexc_limits = mexc_limits or MexcLimits()
        self.clock = time.monotonic  # what listen keys age by; tests may set a clock of their own
        self.clock_skew_s = 0.0  # how far the exchanges' clocks are ahead of this machine's
        self.okx_dead_man: asyncio.TimerHandle | None = None  # cancel-all-after's countdown
        self.recorder = Recorder()
        self.broadcasts = Broadcasts()
        self.books = Books()  # the reference order books the book feeds and snapshots show
        self.okx_book_snapshots = False  # OKX's book channels start with a snapshot push
        self.book_quiet_s = BOOK_QUIET_S  # OKX's unchanged-book push after this long unchanged
        self.book_requests: dict[str, list[float]] = {}  # when each snapshot path was asked
        self.book_rest = depth_snapshots.BookRest()  # refused or unanswered, on command
        self.connections: list[Connection] = []
        self.sessions: dict[int, object] = {}
        self.listen_keys: dict[str, ListenKey] = {}
        self.okx_orders: dict[str, dict] = {}
        self.okx_price_members: dict[str, str] = {}  # what each order's price was placed as
        self.mexc_orders: dict[str, dict] = {}
        self.rest_faults: list[RestFault] = []
        self.rest_idle_s = REST_IDLE_S
        self.rest_handshakes = 0  # TLS handshakes on the REST port, resumed ones included
        self.rest_resumed = 0
        self._rest_waiting: set[asyncio.StreamWriter] = set()  # idle: between requests
        # every REST connection open, with the task serving it
        self._rest_writers: dict[asyncio.StreamWriter, asyncio.Task] = {}
        self.okx_instruments = dict(okx_rules.INSTRUMENTS)  # by instIdCode; relisting changes it
        self._ids = itertools.count(1)
        self._ports = {"ws": port, "rest": rest_port, "control": control_port}
        self._ws_server: Server | None = None
        self._ws_opening: weakref.WeakSet[ServerConnection] = weakref.WeakSet()
        self._servers: list[asyncio.Server] = []
        self._rest = MexcRest(self)
        self._okx_rest = OkxRest(self)
        self._rest_tasks: set[asyncio.Task] = set()

    # ---- life ----

    async def start(self) -> None:
        ctx = self.certificates.server_context(self.cert)
        ctx.sslobject_class = self._freezable_tls()
        opening = self._ws_opening

        class Tracked(ServerConnection):
            """Known from the moment TCP is up, not only once its upgrade is done."""

            def connection_made(self, transport) -> None:
                super().connection_made(transport)
                opening.add(self)

        self._ws_server = await serve(
            self._serve_websocket, self.host, self._ports["ws"], ssl=ctx, create_connection=Tracked,
            process_request=self._check_upgrade, compression=None, max_size=None,
            ping_interval=None, close_timeout=2, server_header="corvane-ws simulator")
        self._ports["ws"] = self._ws_server.sockets[0].getsockname()[1]
        rest_tls = self.certificates.server_context(self.cert)
        if self.rest_min_tls is not None:
            rest_tls.minimum_version = self.rest_min_tls
        self._rest_tls = rest_tls
        # TLS is started by the handler, so that a connection still in its handshake is one
        # stop() knows about too.
        rest = await asyncio.start_server(self._serve_rest, self.host, self._ports["rest"])
        self._ports["rest"] = rest.sockets[0].getsockname()[1]
        self._servers.append(rest)
        if self._ports["control"] is not None:
            ctl = await asyncio.start_server(self._serve_control, self.host, self._ports["control"])
            self._ports["control"] = ctl.sockets[0].getsockname()[1]
            self._servers.append(ctl)

    async def stop(self) -> None:
        if self.okx_dead_man is not None:
            self.okx_dead_man.cancel()
        for conn in self._frozen:  # they would never answer a close
            if conn.ws is not None:
                conn.ws.transport.abort()
        for server in self._servers:
            server.close()
        await asyncio.sleep(0)  # a connection accepted just now gets its handler, and is known
        for writer in list(self._rest_writers):  # kept-alive clients are not waited for
            writer.transport.abort()
        for task in list(self._rest_tasks):
            task.cancel()
        if self._ws_server is not None:
            # A client that connected and has sent nothing yet (a REST connection opened ahead
            # of its first request) would hold the close up until its handshake time-out.
            for connection in list(self._ws_opening):
                if connection.protocol.state is State.CONNECTING:
                    connection.transport.abort()
            self._ws_server.close()
            await self._ws_server.wait_closed()
        for server in self._servers:
            await server.wait_closed()

    @property
    def ws_port(self) -> int:
        return self._ports["ws"]

    @property
    def rest_port(self) -> int:
        return self._ports["rest"]

    @property
    def control_port(self) -> int | None:
        return self._ports["control"]

    def url(self, path: str, host: str = "localhost") -> str:
        return f"wss://{host}:{self.ws_port}{path}"

    # ---- WebSocket ----

    def _freezable_tls(self) -> type[ssl.SSLObject]:
        """The TLS objects of the WebSocket port: while handshakes are frozen, a handshake
        takes the client's hello and never answers it (TCP stays up)."""
        sim = self

        class Freezable(ssl.SSLObject):
            def do_handshake(self) -> None:
                if sim.freeze_handshakes:
                    raise ssl.SSLWantReadError("handshakes frozen by the simulator")
                super().do_handshake()

        return Freezable

    def freeze(self, conn: int) -> None:
        """The connection stops reading and writing, and TCP stays up: a peer that hangs."""
        connection = self.connection(conn)
        if connection.ws is None:
            return
        transport = connection.ws.transport
        transport.pause_reading()
        transport.write = lambda data: None  # what it would send is lost on the way
        transport.writelines = lambda data: None
        watchdog = getattr(self.sessions.get(conn), "watchdog", None)
        if watchdog is not None:  # a hung exchange closes nothing either
            watchdog.cancel()
        self._frozen.append(connection)

    async def _check_upgrade(self, connection: ServerConnection,
                             request: Request) -> Response | None:
        parts = urlsplit(request.path)
        if parts.path.startswith("/api/"):
            await self.okx_rest_delay(parts.path)
            if depth_snapshots.hangs(self, "GET", request.path):
                self.recorder.add_request(RestRequest("GET", request.path,
                                                      list(request.headers.raw_items()), "", b""))
                await depth_snapshots.hang(self)
                connection.transport.abort()
                return connection.respond(503, "")  # never sent: the connection is gone
            return self._okx_rest_on_ws_port(connection, request)
        if parts.path.startswith("/reject/"):
            return connection.respond(int(parts.path.rsplit("/", 1)[1]), "refused by the simulator\n")
        if self.refuse_status is not None:
            return connection.respond(self.refuse_status, "refused by the simulator\n")
        query = dict(parse_qsl(parts.query, keep_blank_values=True))
        if parts.path == MEXC_PATH and "listenKey" in query:
            key = query["listenKey"]
            if key not in self._rest.valid_keys():
                return connection.respond(401, "invalid listen key\n")
            users = sum(1 for c in self.connections if c.ws is not None and c.path == MEXC_PATH
                        and c.query.get("listenKey") == key)
            if users >= self.mexc_limits.connections_per_key:  # answer unconfirmed
                return connection.respond(403, "too many connections for this listen key\n")
        if parts.path not in OKX_PATHS | {MEXC_PATH, RAW_PATH}:
            return connection.respond(404, "no such stream\n")
        return None

    async def okx_rest_delay(self, path: str) -> None:
        """A slow instrument list, when the simulator is told to give one."""
        if path == "/api/v5/public/instruments" and self.okx_instruments_delay_s > 0:
            await asyncio.sleep(self.okx_instruments_delay_s)

    def _okx_rest_on_ws_port(self, connection: ServerConnection, request: Request) -> Response:
        headers = list(request.headers.raw_items())
        self.recorder.add_request(RestRequest("GET", request.path, headers, "", b""))
        answer = (depth_snapshots.handle(self, "GET", request.path)
                  or self._okx_rest.handle("GET", request.path, request.headers.get))
        status, body = answer if answer is not None else (404, {"code": 404, "msg": "Not Found"})
        response = connection.respond(status, json.dumps(body, separators=(",", ":")))
        response.headers["Content-Type"] = "application/json"
        return response

    def _session_for(self, conn: Connection) -> object:
        if conn.path in OKX_PATHS:
            return OkxSession(self, conn)
        if conn.path == MEXC_PATH:
            return MexcSession(self, conn)
        return RawSession()

    async def _serve_websocket(self, ws: ServerConnection) -> None:
        parts = urlsplit(ws.request.path)
        conn = Connection(next(self._ids), parts.path,
                          dict(parse_qsl(parts.query, keep_blank_values=True)), ws)
        session = self._session_for(conn)
        self.connections.append(conn)
        self.sessions[conn.id] = session
        self.recorder.notify()
        try:
            async for message in ws:
                self.recorder.add_frame(Frame(conn.id, conn.path, message))
                await session.on_message(message)
        except ConnectionClosed:
            pass
        finally:
            session.close()
            self.sessions.pop(conn.id, None)
            conn.closed.set()
            conn.ws = None
            self.recorder.notify()

    async def push_okx_order(self, order: dict) -> None:
        """An order's update, to every logged-in OKX connection (the account's) that has it
        subscribed: the same bytes on each."""
        data = dict(order, uTime=str(now_ms()), cTime=str(now_ms()))
        await self._push_each([s for s in self.sessions.values()
                               if isinstance(s, OkxSession) and s.logged_in], data)

    async def push_mexc_order(self, order: dict) -> None:
        await self._push_each([s for s in self.sessions.values()
                               if isinstance(s, MexcSession) and s.listen_key], order)

    def exchange_time(self) -> float:
        """The exchanges' clock (Unix seconds): this machine's plus the skew set."""
        return time.time() + self.clock_skew_s

    def arm_okx_dead_man(self, seconds: int) -> str:
        """Restarts OKX's cancel-all-after countdown (0: stops it); its trigger time in ms."""
        if self.okx_dead_man is not None:
            self.okx_dead_man.cancel()
            self.okx_dead_man = None
        if seconds == 0:
            return "0"
        self.okx_dead_man = asyncio.get_running_loop().call_later(
            seconds, lambda: self.close_soon_task(self.okx_dead_man_fires()))
        return str(int((self.exchange_time() + seconds) * 1000))

    async def okx_dead_man_fires(self) -> None:
        """The countdown lapsed: every pending order is cancelled, each update pushed."""
        if self.okx_dead_man is not None:
            self.okx_dead_man.cancel()
            self.okx_dead_man = None
        for order in list(self.okx_orders.values()):
            if order["state"] == "live":
                order["state"] = "canceled"
                await self.push_okx_order(order)

    @staticmethod
    async def _push_each(sessions: list, order: dict) -> None:
        for session in sessions:
            try:
                await session.push_order(order)
            except ConnectionClosed:
                pass  # that connection is going away; the others still get the update

    # ---- REST ----

    async def _serve_rest(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        """Requests in turn on one kept-alive connection, until the client closes it, asks for
        its close, leaves it idle for rest_idle_s, or a fault ends it."""
        task = asyncio.current_task()
        self._rest_tasks.add(task)
        self._rest_writers[writer] = task
        try:
            await writer.start_tls(self._rest_tls)
            self.rest_handshakes += 1
            self.rest_resumed += bool(writer.get_extra_info("ssl_object").session_reused)
            self.recorder.notify()
            while await self._serve_one_rest(reader, writer):
                pass
        except (ConnectionError, ssl.SSLError, asyncio.TimeoutError):
            pass
        except asyncio.CancelledError:  # the simulator stopping: the connection just ends
            pass
        finally:
            self._rest_writers.pop(writer, None)
            self._rest_waiting.discard(writer)
            self._rest_tasks.discard(task)
            writer.close()

    async def _serve_one_rest(self, reader: asyncio.StreamReader,
                              writer: asyncio.StreamWriter) -> bool:
        """Answers one request; whether the connection stays open for the next."""
        self._rest_waiting.add(writer)
        try:
            request = await asyncio.wait_for(read_request(reader), self.rest_idle_s)
        finally:
            self._rest_waiting.discard(writer)
        if request is None:
            return False
        self.recorder.add_request(request)
        taken = self._take_fault(request.path)
        if taken is not None and taken.fault == "raw":
            return await self._answer_raw(taken, writer)
        fault = taken.fault if taken is not None else None
        if fault is not None and await self._apply_fault(fault, reader, writer) is not False:
            return False
        await self.okx_rest_delay(request.path)
        if depth_snapshots.hangs(self, request.method, request.target):
            await depth_snapshots.hang(self)
            writer.transport.abort()
            return False
        okx = (depth_snapshots.handle(self, request.method, request.target)
               or self._okx_rest.handle(request.method, request.target, request.header,
                                        request.body))
        status, body = okx if okx is not None else self._rest.handle(request)
        if fault in ("lost-answer", "stale-after"):  # carried out, and the answer never comes
            writer.transport.abort()
            return False
        answered = body[:-1] if fault == "short-batch" and isinstance(body, list) else body
        writer.write(json_response(status, answered, close=wants_close(request)))
        await writer.drain()
        for order in self._rest.changed_orders(request, status, body):
            await self.push_mexc_order(order)
        return not wants_close(request)

    async def drop_idle_rest(self, how: str) -> int:
        """Closes every REST connection waiting for a request: "fin" with a clean TLS close,
        "rst" by a reset. Returns once they are closed: how many there were."""
        idle = list(self._rest_waiting)
        for writer in idle:
            if how == "rst":
                sock = writer.get_extra_info("socket")
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                writer.transport.abort()
            else:
                writer.close()
        tasks = [self._rest_writers[w] for w in idle if w in self._rest_writers]
        if tasks:
            await asyncio.wait(tasks, timeout=5)
        return len(idle)

    def reset_rest(self) -> None:
        self.rest_idle_s = REST_IDLE_S
        self.rest_handshakes = self.rest_resumed = 0
        self.okx_instruments = dict(okx_rules.INSTRUMENTS)

    def rest_counts(self) -> dict:
        return {"handshakes": self.rest_handshakes, "resumed": self.rest_resumed,
                "open": len(self._rest_writers), "idle": len(self._rest_waiting)}

    def _take_fault(self, path: str) -> RestFault | None:
        for fault in self.rest_faults:
            if fault.remaining > 0 and fault.path in (None, path):
                fault.remaining -= 1
                return fault
        return None

    @staticmethod
    async def _answer_raw(fault: RestFault, writer: asyncio.StreamWriter) -> bool:
        """Writes a scripted answer as given, in two TLS records split where asked; whether the
        connection stays open for the next request (the client decides what it trusts)."""
        for part in (fault.answer[:fault.split], fault.answer[fault.split:]):
            if part:
                writer.write(part)
                await writer.drain()
        return not fault.close

    async def _apply_fault(self, fault: str, reader: asyncio.StreamReader,
                           writer: asyncio.StreamWriter) -> bool:
        """Plays `fault`; False when the request is to be answered as usual afterwards."""
        if fault == "continue":  # an interim answer first, then the request goes through
            writer.write(b"HTTP/1.1 100 Continue\r\n\r\n")
            return False
        if fault == "slow":
            await asyncio.sleep(SLOW_S)
            return False
        if fault in ("lost-answer", "stale-after", "short-batch"):
            return False
        if fault == "stall":
            await reader.read()  # until the client gives up and closes
        elif fault == "drop":
            writer.transport.abort()
        elif fault == "truncated":
            writer.write(response(200, '{"listenKey":"tru', length=1000))
            await writer.drain()
            writer.transport.abort()
        else:
            writer.write({
                "huge": lambda: response(200, b'{"pad":"' + b"x" * (9 << 20) + b'"}'),
                "status500": lambda: json_response(500, {"code": 500, "msg": "internal error"}),
                "not-json": lambda: response(200, "<html>maintenance</html>", "text/html"),
                "empty": lambda: response(200, ""),
                "no-listen-key": lambda: json_response(200, {"code": 0, "msg": "ok"}),
                "array": lambda: json_response(200, [1, 2]),
                "null": lambda: response(200, "null"),
                "code-in-200": lambda: json_response(200, {"code": 700004, "msg": (
                    "Param 'origClientOrderId' or 'orderId' must be sent, but both were "
                    "empty/null")}),
                "rate-limit": lambda: json_response(429, {"code": 429, "msg": "Too Many Requests"},
                                                    headers={"Retry-After": str(RETRY_AFTER_S)}),
                "rate-limit-date": lambda: json_response(
                    429, {"code": 429, "msg": "Too Many Requests"},
                    headers={"Retry-After": formatdate(time.time() + RETRY_AFTER_DATE_S,
                                                       usegmt=True)}),
                "okx-rate-limit": lambda: json_response(200, okx_rules.RATE_LIMITED),
                "status302": lambda: response(302, "", headers={"Location": "/elsewhere"}),
            }[fault]())
            await writer.drain()
        return True

    def add_rest_fault(self, fault: str, path: str | None = None, count: int = 1) -> None:
        if fault not in REST_FAULTS:
            raise ValueError(f"unknown REST fault {fault!r}")
        self.rest_faults.append(RestFault(fault, path, count))

    def add_raw_answer(self, answer: bytes, split: int = 0, close: bool = False) -> None:
        """The next REST request, whatever its path, is answered with `answer` verbatim."""
        self.rest_faults.append(RestFault("raw", None, 1, answer, split, close))

    # ---- control over plain HTTP ----

    async def _serve_control(self, reader: asyncio.StreamReader,
                             writer: asyncio.StreamWriter) -> None:
        try:
            request = await read_request(reader)
            if request is not None:
                answer = control.handle(self, request)
                status, body = await answer if asyncio.iscoroutine(answer) else answer
                writer.write(json_response(status, body))
                await writer.drain()
        finally:
            writer.close()

    # ---- scripting (tests) ----

    def connection(self, number: int) -> Connection:
        return next(c for c in self.connections if c.id == number)

    def _ws(self, conn: int) -> ServerConnection:
        ws = self.connection(conn).ws
        if ws is None:
            raise ConnectionError(f"simulator connection {conn} is closed")
        return ws

    async def send(self, conn: int, data: str | bytes, text: bool | None = None) -> None:
        await self._ws(conn).send(data, text=text)

    async def send_many(self, conn: int, messages: list[str | bytes]) -> None:
        ws = self._ws(conn)
        for message in messages:
            await ws.send(message)

    # Ending a connection that has already ended does nothing.

    async def close(self, conn: int, code: int = 1000, reason: str = "") -> None:
        if self.connection(conn).ws is not None:
            await self._ws(conn).close(code, reason)

    async def abort(self, conn: int) -> None:
        if self.connection(conn).ws is not None:
            self._ws(conn).transport.abort()

    async def reset(self, conn: int) -> None:
        """Drops the TCP connection with a reset (RST) instead of a FIN."""
        if self.connection(conn).ws is None:
            return
        transport = self._ws(conn).transport
        sock = transport.get_extra_info("socket")
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        transport.abort()

    def hold_close(self, conn: int, code: int = 1000) -> None:
        """Sends a close frame and then stops reading: the peer's answer is never seen, so the
        connection stays half-closed until the peer gives up on it."""
        if self.connection(conn).ws is None:
            return
        transport = self._ws(conn).transport
        transport.pause_reading()
        transport.write(frame_close(code))

    async def release_okx_acks(self) -> None:
        """Sends the acknowledgements held back, and holds none from now on."""
        self.okx_hold_acks = False
        for session in list(self.sessions.values()):
            if isinstance(session, OkxSession):
                await session.release_acks()

    def inject_gap(self) -> None:
        """Every running feed leaves out its next sequence number."""
        for feed in self.broadcasts.feeds.values():
            feed.skip = True

    def okx_connections(self) -> list[int]:
        return [conn for conn, session in self.sessions.items() if isinstance(session, OkxSession)]

    async def okx_notice(self, conn: int) -> None:
        """OKX's notice of a service upgrade, sent 60 s before the connection is closed."""
        await self.sessions[conn].notice_upgrade()

    def close_soon(self, conn: int, code: int = 1000) -> None:
        """Starts a clean close without waiting for the peer's answer."""
        self.close_soon_task(self.close(conn, code))

    def close_soon_task(self, coro) -> None:
        """Runs `coro` on the loop without waiting for it."""
        task = asyncio.ensure_future(coro)
        self._rest_tasks.add(task)
        task.add_done_callback(self._rest_tasks.discard)

    async def send_repeated(self, conn: int, count: int, make: "Callable[[int], str | bytes]",
                            rate: float | None = None) -> None:
        """Sends make(1) ... make(count) as fast as the connection takes them (at most `rate`
        a second): frames are written in batches straight to the transport, holding back while
        4 MiB are queued."""
        transport = self._ws(conn).transport
        loop = asyncio.get_running_loop()
        start = loop.time()
        per_batch = 1000 if rate is None else max(1, min(1000, int(rate / 100)))
        batch: list[bytes] = []
        for seq in range(1, count + 1):
            batch.append(frame(make(seq)))
            if len(batch) == per_batch or seq == count:
                transport.write(b"".join(batch))
                batch.clear()
                while transport.get_write_buffer_size() > 4 << 20 and not transport.is_closing():
                    await asyncio.sleep(0.001)
                if transport.is_closing():
                    return
                if rate is not None:
                    await asyncio.sleep(max(0.0, start + seq / rate - loop.time()))

    async def cut_mid_frame(self, conn: int) -> None:
        """Writes the start of a 64 KiB text frame, then drops the TCP connection."""
        transport = self._ws(conn).transport
        transport.write(b"\x81\x7f" + (65536).to_bytes(8, "big") + b"partial")
        await asyncio.sleep(0)
        transport.abort()

    def snapshot(self) -> dict:
        return {"ws_port": self.ws_port, "rest_port": self.rest_port,
                "control_port": self.control_port}


def frame(data: str | bytes) -> bytes:
    """One unmasked server frame: text for str, binary for bytes."""
    payload, opcode = (data.encode(), 0x81) if isinstance(data, str) else (data, 0x82)
    n = len(payload)
    if n < 126:
        head = bytes([opcode, n])
    elif n < 1 << 16:
        head = bytes([opcode, 126]) + n.to_bytes(2, "big")
    else:
        head = bytes([opcode, 127]) + n.to_bytes(8, "big")
    return head + payload


def frame_close(code: int) -> bytes:
    """One unmasked close frame with a status code and no reason."""
    return bytes([0x88, 2]) + code.to_bytes(2, "big")


def ready_line(sim: Simulator, ca_file: Path) -> str:
    return json.dumps(dict(sim.snapshot(), ca_file=str(ca_file)))
