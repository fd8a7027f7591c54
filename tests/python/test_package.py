"""The corvane_ws package against the simulator: each finding of a first-time user of the
module, checked on the module (where it hurts) and on the package (where it must not)."""

import asyncio
import inspect
import json
import os
import socket
import subprocess
import sys
import threading
import time
import venv
from concurrent.futures import ThreadPoolExecutor
from decimal import Decimal
from typing import Any

import pytest

import _corvane_ws_module as m
import corvane_ws as cw
from conftest import READ_TIMEOUT, ROOT, read_until_end
from test_async import run  # noqa: F401  (the fixture: asyncio's loop and uvloop)
from corvane_ws.sim import MEXC_TEST, OKX_TEST

DEALS = "spot@public.aggre.deals.v3.api.pb@100ms@BTCUSDT"


def okx_private(sim, **options):
    return cw.OKX(api_key=OKX_TEST.api_key, secret=OKX_TEST.secret,
                  passphrase=OKX_TEST.passphrase, url=sim.sim.url("/ws/v5/private"),
                  rest_url=f"https://localhost:{sim.sim.rest_port}", **options)


def mexc_private(sim):
    return cw.MEXC(api_key=MEXC_TEST.api_key, secret=MEXC_TEST.secret, url=sim.sim.url("/ws"),
                   rest_url=f"https://localhost:{sim.sim.rest_port}")


def order_frames(sim):
    return [json.loads(f) for f in sim.frames() if isinstance(f, str) and '"op":"order"' in f]


class TestOrders:
    def test_order_type_is_required_and_never_guessed(self, sim):
        """1: the module sends a market order when ordType is forgotten."""
        native = m.OkxConnector(OKX_TEST.api_key, OKX_TEST.secret, OKX_TEST.passphrase)
        native.connect(sim.sim.url("/ws/v5/private"))
        next(native.wsrun())  # the login reply
        native.place_order(ord_id="r1", inst_id="BTC-USDT", side="buy", px="20000", sz="0.001",
                           tdMode="cash")
        sim.wait_frames(sim.sim.connections[-1].id, 2)
        native.disconnect()
        assert order_frames(sim)[0]["args"][0]["ordType"] == "market"

        with okx_private(sim) as okx:
            with pytest.raises(TypeError):
                okx.create_order("BTC-USDT", side="buy", amount="0.001", price="20000")  # type: ignore[call-arg]
            with pytest.raises(ValueError, match="type must be one of"):
                okx.create_order("BTC-USDT", "limt", "buy", "0.001", "20000")  # type: ignore[arg-type]
            with pytest.raises(ValueError, match="needs a price"):
                okx.create_order("BTC-USDT", "limit", "buy", "0.001")
            with pytest.raises(TypeError, match="not float"):
                okx.create_order("BTC-USDT", "limit", "buy", 0.1, "20000")
        assert len(order_frames(sim)) == 1

    def test_extra_never_overrides_what_the_package_checked(self, sim):
        """A field the vocabulary covers, or the request id, is no extra: TypeError, nothing
        sent, single or batch; OKX's other fields still go out."""
        limit = {"symbol": "BTC-USDT", "type": "limit", "side": "buy", "amount": "1",
                 "price": "20000"}
        covered = [{"ordType": "market"}, {"px": "-5"}, {"sz": 1.5}, {"ord_id": "r9"},
                   {"msg_id": "r9"}, {"cl_ord_id": "c9"}, {"tdMode": "cross"},
                   {"inst_id": "ETH-USDT"}, {"side": "sell"}]
        with okx_private(sim) as okx:
            for extra in [*covered, {"inst_id_code": 1}, {"reduce_only": "yes"},
                          {"pos_side": 1}]:
                with pytest.raises(TypeError):
                    okx.create_order("BTC-USDT", "limit", "buy", "1", "20000", **extra)  # type: ignore[arg-type]
                with pytest.raises(TypeError, match=r"^orders\[1\]: "):
                    okx.create_orders([limit, {**limit, "extra": extra}])  # type: ignore[list-item]
            with pytest.raises(TypeError, match="'ordType': that is type"):
                okx.create_orders([{**limit, "extra": {"ordType": "market"}}])  # type: ignore[list-item, typeddict-unknown-key]
            assert order_frames(sim) == []
            assert not any('"op":"batch-orders"' in f for f in sim.frames() if isinstance(f, str))
            placed = okx.create_order("BTC-USDT", "limit", "buy", "1", "20000",
                                      client_order_id="x1", tgt_ccy="base_ccy", ccy="USDT")
            [batched] = okx.create_orders([{**limit, "extra": {"tgt_ccy": "quote_ccy"}}])
        assert placed["clOrdId"] == "x1" and isinstance(batched, dict)
        assert [(f["args"][0]["ordType"], f["args"][0]["px"], f["args"][0]["tgtCcy"],
                 f["args"][0]["ccy"]) for f in order_frames(sim)] == [
                    ("limit", "20000", "base_ccy", "USDT")]

    def test_errors_name_the_package_arguments_and_the_order_of_a_batch(self, sim):
        limit = {"symbol": "BTC-USDT", "type": "limit", "side": "buy", "amount": "1",
                 "price": "20000"}
        with okx_private(sim) as okx, mexc_private(sim) as mexc:
            for call in (lambda: okx.create_order("BTC-USDT", "limit", "buy", "1", "20000",
                                                  client_order_id="not-ok"),
                         lambda: okx.cancel_order("BTC-USDT", client_order_id="not-ok"),
                         lambda: okx.fetch_order("BTC-USDT", client_order_id="not-ok"),
                         lambda: okx.amend_order("BTC-USDT", client_order_id="not-ok",
                                                 amount="2")):
                with pytest.raises(ValueError, match="^client_order_id must be 1 to 32 letters"):
                    call()
            with pytest.raises(ValueError, match=r"^orders\[1\]: a limit order needs a price"):
                okx.create_orders([limit, {**limit, "price": None}])
            with pytest.raises(ValueError, match=r"^orders\[0\]: amount must be a positive"):
                mexc.create_orders([{**limit, "symbol": "BTCUSDT", "amount": "-1"}])
            for call in (lambda: okx.create_order(None, "limit", "buy", "1", "20000"),  # type: ignore[arg-type]
                         lambda: okx.fetch_order(None, "1"),  # type: ignore[arg-type]
                         lambda: mexc.cancel_order(None, "1"),  # type: ignore[arg-type]
                         lambda: mexc.fetch_open_orders(None)):  # type: ignore[arg-type]
                with pytest.raises(TypeError, match="^symbol must be a str, not NoneType$"):
                    call()
            with pytest.raises(ValueError, match="^seconds must be 0 or 10 to 120"):
                okx.cancel_all_orders_after(5)
            results = okx.create_orders([{**limit, "client_order_id": "d1"},
                                         {**limit, "client_order_id": "d1"},
                                         {**limit, "extra": {"pos_side": "sideways"}}])
            refused = mexc.create_orders([{**limit, "symbol": "NOPEUSDT"},
                                          {**limit, "symbol": "NOPEUSDT",
                                           "client_order_id": "m7"}])
        assert isinstance(results[0], dict)
        for outcome, index, client_id in ((results[1], 1, "d1"), (results[2], 2, None),
                                          (refused[1], 1, "m7")):
            assert isinstance(outcome, cw.OrderRejected)
            assert (outcome.index, outcome.client_order_id) == (index, client_id)
            assert f"(orders[{index}]" in str(outcome)
            assert client_id is None or f"client_order_id {client_id})" in str(outcome)

    def test_one_vocabulary_and_dict_replies_on_both_exchanges(self, sim):
        """2 and 10: sides, types, client ids and Decimal the same on both; replies are dicts,
        refusals and unknown orders typed errors."""
        with okx_private(sim) as okx, mexc_private(sim) as mexc:
            placed = [okx.create_order("BTC-USDT", "limit", "buy", Decimal("0.001"),
                                       Decimal("2E+4"), client_order_id="pkg1"),
                      mexc.create_order("BTCUSDT", "limit", "buy", Decimal("0.001"), 20000,
                                        client_order_id="pkg2")]
            assert placed[0]["clOrdId"] == "pkg1" and placed[1]["side"] == "BUY"
            assert okx.fetch_order("BTC-USDT", client_order_id="pkg1")["px"] == "20000"
            assert mexc.fetch_order("BTCUSDT", client_order_id="pkg2")["price"] == "20000"
            assert okx.cancel_order("BTC-USDT", client_order_id="pkg1")["sCode"] == "0"
            assert mexc.cancel_order("BTCUSDT", client_order_id="pkg2")["status"] == "CANCELED"
            for connector, symbol in ((okx, "BTC-USDT"), (mexc, "BTCUSDT")):
                with pytest.raises(cw.OrderNotFound) as refused:
                    connector.fetch_order(symbol, client_order_id="nosuch1")
                assert isinstance(refused.value, cw.RequestRefused)
            with pytest.raises(cw.OrderRejected, match="51016"):  # the same client id twice
                for _ in range(2):
                    okx.create_order("BTC-USDT", "limit", "sell", "1", "30000",
                                     client_order_id="dup1")

    def test_ack_reaches_the_caller_while_another_thread_reads(self, sim):
        """The acknowledgement is matched by request id and handed over by whoever reads."""
        with okx_private(sim) as okx:
            okx.subscribe("orders", inst_type="ANY")
            seen: list[str] = []
            reader = threading.Thread(target=lambda: seen.extend(okx))
            reader.start()
            ack = okx.create_order("BTC-USDT", "limit", "buy", "1", "20000")
            assert ack["sCode"] == "0"
        reader.join(READ_TIMEOUT)
        assert not any('"op":"order"' in s for s in seen)
        assert any('"event":"subscribe"' in s for s in seen)

    def test_async_ack_reaches_the_caller_while_another_task_reads(self, sim):
        async def main() -> tuple[dict, list]:
            okx = cw.AsyncOKX(api_key=OKX_TEST.api_key, secret=OKX_TEST.secret,
                              passphrase=OKX_TEST.passphrase, url=sim.sim.url("/ws/v5/private"))
            okx.subscribe("orders", inst_type="ANY")
            async with okx:
                seen: list = []

                async def read() -> None:
                    seen.extend([item async for item in okx])

                reader = asyncio.create_task(read())
                ack = await okx.create_order("BTC-USDT", "limit", "buy", "1", "20000")
            await asyncio.wait_for(reader, READ_TIMEOUT)
            return ack, seen

        ack, seen = asyncio.run(main())
        assert ack["sCode"] == "0"
        assert not any('"op":"order"' in s for s in seen)
        assert any('"event":"subscribe"' in s for s in seen)

    TICKER = '{"arg":{"channel":"tickers"},"data":[]}'

    @staticmethod
    def raw_okx(sim, cls):
        return cls(api_key=OKX_TEST.api_key, secret=OKX_TEST.secret,
                   passphrase=OKX_TEST.passphrase, url=sim.sim.url("/raw"),
                   rest_url=f"https://localhost:{sim.sim.rest_port}")

    @staticmethod
    def log_in(sim, before):
        """The connection opened after `before` ones, logged in by hand."""
        conn = sim.wait_connection(before + 1)
        sim.wait_frames(conn, 1)  # the login
        sim.send(conn, '{"event":"login","code":"0","msg":"","connId":"x"}')
        return conn

    @staticmethod
    def acknowledge(sim, conn, frames):
        """OKX's acceptance of the order that went out last."""
        ident = json.loads(frames[-1])["id"]
        sim.send(conn, json.dumps({"id": ident, "op": "order", "code": "0", "msg": "",
                                   "data": [{"ordId": "7", "clOrdId": "", "sCode": "0",
                                             "sMsg": ""}]}, separators=(",", ":")))

    def test_a_read_started_while_a_call_reads_for_its_reply_gets_the_next_message(self, sim):
        """A call waiting for its reply reads the stream itself while no thread does; a recv()
        that starts meanwhile gets the next message."""
        okx = self.raw_okx(sim, cw.OKX)
        before = len(sim.sim.connections)
        with ThreadPoolExecutor(2) as pool:
            opened = pool.submit(okx.connect)
            conn = self.log_in(sim, before)
            opened.result(READ_TIMEOUT)
            try:
                call = pool.submit(okx.create_order, "BTC-USDT", "limit", "buy", "1", "20000",
                                   timeout=600)
                frames = sim.wait_frames(conn, 2)  # the order is out: the call reads
                read = pool.submit(okx.recv)
                sim.send(conn, self.TICKER)
                assert read.result(READ_TIMEOUT) == self.TICKER
                self.acknowledge(sim, conn, frames)
                assert call.result(READ_TIMEOUT)["ordId"] == "7"
            finally:
                okx.disconnect()

    def test_async_a_read_started_while_a_call_reads_for_its_reply_gets_the_next_message(
            self, sim):
        """As the blocking one: the recv() must not leave the next message to the call."""
        async def main() -> tuple[str, dict]:
            okx = self.raw_okx(sim, cw.AsyncOKX)
            before = len(sim.sim.connections)
            opener = asyncio.create_task(okx.connect())
            conn = await asyncio.to_thread(self.log_in, sim, before)
            await asyncio.wait_for(opener, READ_TIMEOUT)
            try:
                call = asyncio.create_task(okx.create_order("BTC-USDT", "limit", "buy", "1",
                                                            "20000", timeout=600))
                frames = await asyncio.to_thread(sim.wait_frames, conn, 2)  # the order is out
                read = asyncio.create_task(okx.recv())
                for _ in range(10):  # the read and the call have each taken their turn
                    await asyncio.sleep(0)
                sim.send(conn, self.TICKER)
                message = await asyncio.wait_for(read, READ_TIMEOUT)
                self.acknowledge(sim, conn, frames)
                return message, await asyncio.wait_for(call, READ_TIMEOUT)
            finally:
                await okx.disconnect()

        message, ack = asyncio.run(main())
        assert message == self.TICKER
        assert ack["ordId"] == "7"

    def test_a_lost_answer_is_an_unknown_outcome_found_by_client_id(self, sim):
        with okx_private(sim) as okx:
            sim.sim.okx_lose_order_answer = True
            with pytest.raises(cw.RequestOutcomeUnknown, match="stream ended"):
                okx.create_order("BTC-USDT", "limit", "buy", "1", "20000",
                                 client_order_id="lost1")
            assert okx.fetch_order("BTC-USDT", client_order_id="lost1")["state"] == "live"

    # A relisted instrument: the connector's cached instIdCode is stale, OKX refuses the order
    # with 51001, and the connector may send it once more with the new code, but only while
    # the call that placed it still waits, so that its result is the resend's.
    @staticmethod
    def relisted(sim, okx, **controls):
        assert okx.load_instruments("SPOT") > 0
        sim.control("POST", "/okx?relist=BTC-USDT")
        for name, value in controls.items():
            sim.control("POST", f"/okx?{name}={value}")

    @staticmethod
    def placed(sim, client_order_id):
        return [o for o in sim.control("GET", "/okx-orders") if o["clOrdId"] == client_order_id]

    @staticmethod
    def read_reply_of(okx, client_order_id):
        """Reads the stream until OKX's reply to that order's request arrives."""
        while True:
            item = json.loads(okx.recv(READ_TIMEOUT))
            if item.get("op") == "order" and item["data"][0]["clOrdId"] == client_order_id:
                return item

    def test_a_relisted_instrument_is_resent_for_a_waiting_call(self, sim):
        with okx_private(sim) as okx:
            self.relisted(sim, okx)
            ack = okx.create_order("BTC-USDT", "limit", "buy", "1", "20000",
                                   client_order_id="w1", timeout=READ_TIMEOUT)
            assert ack["sCode"] == "0"
            assert [o["ordId"] for o in self.placed(sim, "w1")] == [ack["ordId"]]

    def test_a_51001_after_the_call_gave_up_is_never_acted_on(self, sim):
        with okx_private(sim) as okx:
            self.relisted(sim, okx, **{"late-51001": 3000})
            with pytest.raises(cw.RequestOutcomeUnknown):
                okx.create_order("BTC-USDT", "limit", "buy", "1", "20000",
                                 client_order_id="a1", timeout=0.3)
            with pytest.raises(cw.OrderNotFound):  # as docs/package.md says: look, then place again
                okx.fetch_order("BTC-USDT", client_order_id="a1")
            sim.control("POST", "/okx?late-51001=0")
            okx.create_order("BTC-USDT", "limit", "buy", "1", "20000", client_order_id="a2",
                             timeout=READ_TIMEOUT)
            assert self.read_reply_of(okx, "a1")["data"][0]["sCode"] == "51001"
            assert (len(self.placed(sim, "a1")), len(self.placed(sim, "a2"))) == (0, 1)

    def test_a_resend_never_goes_out_after_the_call_gave_up(self, sim):
        with okx_private(sim) as okx:
            self.relisted(sim, okx, **{"slow-instruments": 1500})
            # refused (or, on a machine too slow for the 51001 to come in time, unknown), and
            # never sent again
            with pytest.raises((cw.OrderRejected, cw.RequestOutcomeUnknown)) as refused:
                okx.create_order("BTC-USDT", "limit", "buy", "1", "20000",
                                 client_order_id="b1", timeout=0.3)
            assert getattr(refused.value, "code", "51001") == "51001"
            # a later order's resend follows b1's instrument fetch: b1's would be out by then
            okx.create_order("BTC-USDT", "limit", "buy", "1", "20000", client_order_id="b2",
                             timeout=READ_TIMEOUT)
            assert (len(self.placed(sim, "b1")), len(self.placed(sim, "b2"))) == (0, 1)

    def test_a_repeated_51001_is_the_answer_and_nothing_is_resent(self, sim):
        with okx_private(sim) as okx:
            self.relisted(sim, okx, **{"repeat-51001": 50, "slow-instruments": 500})
            with pytest.raises(cw.OrderRejected) as refused:
                okx.create_order("BTC-USDT", "limit", "buy", "1", "20000",
                                 client_order_id="c1", timeout=READ_TIMEOUT)
            assert refused.value.code == "51001"
            sim.control("POST", "/okx?repeat-51001=off")
            okx.create_order("BTC-USDT", "limit", "buy", "1", "20000", client_order_id="c2",
                             timeout=READ_TIMEOUT)
            assert (len(self.placed(sim, "c1")), len(self.placed(sim, "c2"))) == (0, 1)

    def test_a_repeated_51001_leaves_one_order_or_none_and_the_call_says_which(self, sim):
        with okx_private(sim) as okx:
            self.relisted(sim, okx, **{"repeat-51001": 50})
            try:  # the codes usually come before the repeat: the resend's answer
                ack = okx.create_order("BTC-USDT", "limit", "buy", "1", "20000",
                                       client_order_id="q1", timeout=READ_TIMEOUT)
            except cw.OrderRejected as refused:  # the repeat came first: the answer
                assert refused.code == "51001"
                sim.control("POST", "/okx?repeat-51001=off")
                okx.create_order("BTC-USDT", "limit", "buy", "1", "20000",
                                 client_order_id="q2", timeout=READ_TIMEOUT)
                assert self.placed(sim, "q1") == []
            else:
                assert self.read_reply_of(okx, "q1")["data"][0]["sCode"] == "51001"  # repeat
                assert [o["ordId"] for o in self.placed(sim, "q1")] == [ack["ordId"]]

    def test_order_errors_say_what_a_program_can_do(self, sim):
        okx = okx_private(sim)  # not connected: nothing can be sent, and nothing was
        for call in (lambda: okx.create_order("BTC-USDT", "limit", "buy", "1", "20000"),
                     lambda: okx.cancel_order("BTC-USDT", "1"),
                     lambda: okx.amend_order("BTC-USDT", "1", amount="2")):
            with pytest.raises(cw.RequestNotSent, match="^Send failed: Bad Connection$"):
                call()
        with okx:  # a symbol OKX does not list is a refusal: sending again gets the same
            with pytest.raises(cw.OrderRejected) as unlisted:
                okx.create_order("NO-SUCH", "limit", "buy", "1", "20000")
        assert unlisted.value.code == "51001" and not isinstance(unlisted.value, cw.RequestNotSent)
        assert "NO-SUCH" in str(unlisted.value)

    def test_an_okx_error_event_fails_the_call_it_answers_at_once(self, sim):
        public = cw.OKX(api_key=OKX_TEST.api_key, secret=OKX_TEST.secret,
                        passphrase=OKX_TEST.passphrase, url=sim.sim.url("/ws/v5/public"),
                        rest_url=f"https://localhost:{sim.sim.rest_port}")
        with public:  # orders are not taken on /public: OKX says so at once (60028)
            with pytest.raises(cw.OrderRejected) as refused:
                public.create_order("BTC-USDT", "limit", "buy", "1", "20000", timeout=60)
            assert refused.value.code == "60028"
            with pytest.raises(cw.OrderRejected) as refused:
                public.cancel_orders([{"symbol": "BTC-USDT", "id": "1"}], timeout=60)
            assert refused.value.code == "60028"

    def test_an_error_event_without_an_id_fails_only_the_one_call_waiting(self, sim):
        okx = cw.OKX(api_key=OKX_TEST.api_key, secret=OKX_TEST.secret,
                     passphrase=OKX_TEST.passphrase, url=sim.sim.url("/raw"),
                     rest_url=f"https://localhost:{sim.sim.rest_port}")
        before = len(sim.sim.connections)
        opener = threading.Thread(target=okx.connect)
        opener.start()
        conn = sim.wait_connection(before + 1)
        sim.wait_frames(conn, 1)  # the login
        sim.send(conn, '{"event":"login","code":"0","msg":"","connId":"x"}')
        opener.join(READ_TIMEOUT)

        def answer(frames: int, event: str) -> threading.Thread:
            def run() -> None:
                sim.wait_frames(conn, frames)
                sim.send(conn, event)
            thread = threading.Thread(target=run)
            thread.start()
            return thread

        try:
            # 60012 may answer a subscription: it is left to the stream (as a refused
            # subscription), the call runs out
            bad = '{"event":"error","code":"60012","msg":"Invalid request","connId":"x"}'
            sender = answer(2, bad)
            with pytest.raises(cw.RequestOutcomeUnknown):
                okx.create_order("BTC-USDT", "limit", "buy", "1", "20000", timeout=1)
            sender.join(READ_TIMEOUT)
            assert okx.recv(READ_TIMEOUT) == cw.StreamEvent(
                "subscribe_failed", 1, "Invalid request", code="60012")
            # 60028 answers only an operation: the one call waiting fails at once
            sender = answer(3, '{"event":"error","code":"60028","msg":"Not here","connId":"x"}')
            with pytest.raises(cw.OrderRejected) as refused:
                okx.create_order("BTC-USDT", "limit", "buy", "1", "20000", timeout=60)
            sender.join(READ_TIMEOUT)
            assert refused.value.code == "60028"
        finally:
            okx.disconnect()

    def test_async_a_resend_never_goes_out_after_the_call_gave_up(self, sim):
        async def main() -> None:
            okx = cw.AsyncOKX(api_key=OKX_TEST.api_key, secret=OKX_TEST.secret,
                              passphrase=OKX_TEST.passphrase, url=sim.sim.url("/ws/v5/private"),
                              rest_url=f"https://localhost:{sim.sim.rest_port}")
            async with okx:
                assert await okx.load_instruments("SPOT") > 0
                sim.control("POST", "/okx?relist=BTC-USDT")
                sim.control("POST", "/okx?slow-instruments=1500")
                with pytest.raises((cw.OrderRejected, cw.RequestOutcomeUnknown)) as refused:
                    await okx.create_order("BTC-USDT", "limit", "buy", "1", "20000",
                                           client_order_id="y1", timeout=0.3)
                assert getattr(refused.value, "code", "51001") == "51001"
                await okx.create_order("BTC-USDT", "limit", "buy", "1", "20000",
                                       client_order_id="y2", timeout=READ_TIMEOUT)

        asyncio.run(main())
        assert (len(self.placed(sim, "y1")), len(self.placed(sim, "y2"))) == (0, 1)

    def test_async_nothing_goes_out_after_its_call_was_cancelled(self, sim):
        """The first call on an instrument looks its code up over REST, slowly here: a call
        cancelled meanwhile must send nothing when the lookup ends."""
        async def main() -> None:
            loop = asyncio.get_running_loop()
            first, later = ThreadPoolExecutor(), ThreadPoolExecutor()
            loop.set_default_executor(first)
            okx = cw.AsyncOKX(api_key=OKX_TEST.api_key, secret=OKX_TEST.secret,
                              passphrase=OKX_TEST.passphrase, url=sim.sim.url("/ws/v5/private"),
                              rest_url=f"https://localhost:{sim.sim.rest_port}")
            async with okx:
                sim.control("POST", "/okx?slow-instruments=1500")
                one: Any = {"symbol": "BTC-USDT", "client_order_id": "gone1"}
                calls = [okx.create_order("BTC-USDT", "limit", "buy", "1", "100",
                                          client_order_id="gone1"),
                         okx.create_order("BTC-USDT", "limit", "buy", "1", "100",
                                          client_order_id="gone2", wait=False),
                         okx.cancel_order("BTC-USDT", client_order_id="gone1"),
                         okx.amend_order("BTC-USDT", client_order_id="gone1", amount="2"),
                         okx.create_orders([{"symbol": "BTC-USDT", "type": "limit",
                                             "side": "buy", "amount": "1", "price": "100",
                                             "client_order_id": "gone3"}]),
                         okx.cancel_orders([one]), okx.amend_orders([dict(one, amount="2")])]
                for call in calls:
                    with pytest.raises(TimeoutError):
                        await asyncio.wait_for(call, 0.2)
                # every lookup of the cancelled calls has ended (and, before the fix, its
                # send gone out); the reply to a later order follows all they sent
                loop.set_default_executor(later)
                await asyncio.wait_for(loop.run_in_executor(later, first.shutdown), READ_TIMEOUT)
                sim.control("POST", "/okx?slow-instruments=0")
                await okx.create_order("BTC-USDT", "limit", "buy", "1", "100",
                                       client_order_id="kept1", timeout=READ_TIMEOUT)
            later.shutdown()

        asyncio.run(main())
        sent = [f for f in sim.frames() if isinstance(f, str) and '"op":"' in f]
        assert [f for f in sent if "gone" in f] == []
        assert len([f for f in sent if "kept1" in f]) == 1

    def test_an_option_is_amended_in_the_price_form_it_was_placed_with(self, sim):
        option = "BTC-USD-261225-100000-C"
        with okx_private(sim) as okx:
            usd = okx.create_order(option, "limit", "buy", "1", "150")  # options: pxUsd
            okx.create_order(option, "limit", "buy", "1", "0.5", client_order_id="v1",
                             px_field="pxVol")
            assert okx.amend_order(option, usd["ordId"], price="160")["sCode"] == "0"
            assert okx.amend_order(option, client_order_id="v1", price="0.6")["sCode"] == "0"
            assert okx.amend_order("BTC-USDT", okx.create_order(
                "BTC-USDT", "limit", "buy", "1", "20000")["ordId"], price="1")["sCode"] == "0"
            batch = okx.amend_orders([{"symbol": option, "id": usd["ordId"], "price": "170"},
                                      {"symbol": option, "client_order_id": "v1",
                                       "price": "0.7"}])
            assert [r["sCode"] for r in batch] == ["0", "0"]  # type: ignore[index]
        sent = [json.loads(f) for f in sim.frames() if isinstance(f, str) and "amend" in f]
        prices = [[k for k in a if k.startswith("newPx")] for r in sent for a in r["args"]
                  if r["op"] in ("amend-order", "batch-amend-orders")]
        assert prices == [["newPxUsd"], ["newPxVol"], ["newPx"], ["newPxUsd"], ["newPxVol"]]

    def test_okx_amend_batches_open_orders_cancel_all_and_the_dead_man_switch(self, sim):
        with okx_private(sim) as okx:
            assert okx.load_instruments("SPOT") > 0
            with pytest.raises(cw.RequestRefused, match="51000"):  # no such instrument type
                okx.load_instruments("NOPE")
            placed = okx.create_orders([
                {"symbol": "BTC-USDT", "type": "limit", "side": "buy", "amount": "1",
                 "price": Decimal("20000"), "client_order_id": "b1"},
                {"symbol": "BTC-USDT", "type": "limit", "side": "buy", "amount": "1",
                 "price": "20000", "client_order_id": "b1"}])
            assert isinstance(placed[0], dict) and placed[0]["clOrdId"] == "b1"
            assert isinstance(placed[1], cw.OrderRejected) and placed[1].code == "51016"
            amended = okx.amend_order("BTC-USDT", client_order_id="b1", price="21000")
            assert amended["sCode"] == "0"
            assert okx.fetch_order("BTC-USDT", client_order_id="b1")["px"] == "21000"
            with pytest.raises(ValueError, match="amount, a new price"):
                okx.amend_order("BTC-USDT", client_order_id="b1")
            with pytest.raises(cw.OrderNotFound):
                okx.amend_order("BTC-USDT", client_order_id="nosuch1", amount="2")
            okx.create_order("ETH-USDT", "limit", "sell", "1", "3000", client_order_id="e1")
            changed, unknown = okx.amend_orders([
                {"symbol": "ETH-USDT", "client_order_id": "e1", "amount": 2},
                {"symbol": "ETH-USDT", "client_order_id": "nosuch2", "price": "1"}])
            assert isinstance(changed, dict) and changed["sCode"] == "0"
            assert isinstance(unknown, cw.OrderNotFound)
            assert [o["clOrdId"] for o in okx.fetch_open_orders()] == ["e1", "b1"]
            assert [o["sz"] for o in okx.fetch_open_orders("ETH-USDT")] == ["2"]
            with pytest.raises(cw.OrderRejected, match="51000"):
                okx.fetch_open_orders(inst_type="NOPE")
            [gone] = okx.cancel_orders([{"symbol": "ETH-USDT", "client_order_id": "e1"}])
            assert isinstance(gone, dict) and gone["sCode"] == "0"
            with pytest.raises(ValueError, match="1 to 20 orders"):
                okx.cancel_orders([])
            with pytest.raises(TypeError, match="unknown keys clientOrderId"):  # never ignored
                okx.cancel_orders([{"symbol": "BTC-USDT", "clientOrderId": "b1"}])  # type: ignore[typeddict-unknown-key]
            okx.create_order("BTC-USDT", "limit", "buy", "1", "20000", client_order_id="b2")
            cancelled = okx.cancel_all_orders("BTC-USDT")
            assert [c["clOrdId"] for c in cancelled if isinstance(c, dict)] == ["b2", "b1"]
            assert okx.fetch_open_orders() == [] and okx.cancel_all_orders("BTC-USDT") == []
            assert int(okx.cancel_all_orders_after(60)["triggerTime"]) > 0
            with pytest.raises(ValueError, match="10 to 120"):
                okx.cancel_all_orders_after(5)
            okx.cancel_all_orders_after(0)
        frames = [json.loads(f) for f in sim.frames() if isinstance(f, str) and '"op":"' in f]
        assert [f["op"] for f in frames if "batch" in f["op"]] == [
            "batch-orders", "batch-amend-orders", "batch-cancel-orders", "batch-cancel-orders"]

    def test_mexc_batch_open_orders_and_cancel_all(self, sim):
        with mexc_private(sim) as mexc:
            placed = mexc.create_orders([
                {"symbol": "BTCUSDT", "type": "limit", "side": "buy", "amount": "1",
                 "price": "20000", "client_order_id": "m1"},
                {"symbol": "BTCUSDT", "type": "post_only", "side": "sell", "amount": 2,
                 "price": Decimal("30000")}])
            assert [p["type"] for p in placed if isinstance(p, dict)] == ["LIMIT", "LIMIT_MAKER"]
            with pytest.raises(cw.OrderRejected, match="one symbol"):
                mexc.create_orders([
                    {"symbol": "BTCUSDT", "type": "market", "side": "buy", "amount": "1"},
                    {"symbol": "ETHUSDT", "type": "market", "side": "buy", "amount": "1"}])
            for okx_only in ({"td_mode": "cross"}, {"extra": {"pos_side": "long"}}):
                with pytest.raises(TypeError, match=r"^orders\[0\] \(MexcOrderRequest\) has "
                                                    r"unknown keys (td_mode|extra)$"):
                    mexc.create_orders([{"symbol": "BTCUSDT", "type": "market", "side": "buy",
                                         "amount": "1", **okx_only}])  # type: ignore[typeddict-item]
            assert len(mexc.fetch_open_orders("BTCUSDT")) == 2
            with pytest.raises(cw.OrderRejected) as refused:
                mexc.fetch_open_orders("NOPEUSDT")
            assert refused.value.status == 400
            cancelled = mexc.cancel_all_orders("BTCUSDT")
            assert sorted(c["status"] for c in cancelled if isinstance(c, dict)) == [
                "CANCELED", "CANCELED"]
            assert mexc.fetch_open_orders("BTCUSDT") == []
            with pytest.raises(cw.OrderRejected, match="10007"):
                mexc.cancel_all_orders("NOPEUSDT")

    def test_async_batch_amend_and_open_orders(self, sim):
        async def main() -> tuple:
            okx = cw.AsyncOKX(api_key=OKX_TEST.api_key, secret=OKX_TEST.secret,
                              passphrase=OKX_TEST.passphrase, url=sim.sim.url("/ws/v5/private"),
                              rest_url=f"https://localhost:{sim.sim.rest_port}")
            mexc = cw.AsyncMEXC(api_key=MEXC_TEST.api_key, secret=MEXC_TEST.secret,
                                url=sim.sim.url("/ws"),
                                rest_url=f"https://localhost:{sim.sim.rest_port}")
            async with okx, mexc:
                await okx.load_instruments()
                [placed] = await okx.create_orders([{"symbol": "BTC-USDT", "type": "limit",
                                                     "side": "buy", "amount": "1",
                                                     "price": "20000"}])
                assert isinstance(placed, dict)
                await okx.amend_order("BTC-USDT", placed["ordId"], amount="3")
                pending = await okx.fetch_open_orders("BTC-USDT")
                cancelled = await okx.cancel_all_orders("BTC-USDT")
                await mexc.create_orders([{"symbol": "BTCUSDT", "type": "limit", "side": "buy",
                                           "amount": "1", "price": "20000"}])
                mexc_pending = await mexc.fetch_open_orders("BTCUSDT")
                await mexc.cancel_all_orders("BTCUSDT")
                return pending, cancelled, mexc_pending

        pending, cancelled, mexc_pending = asyncio.run(main())
        assert [o["sz"] for o in pending] == ["3"] and len(cancelled) == 1
        assert len(mexc_pending) == 1


class TestAnswers:
    """What the exchange answered decides the class raised: a refusal, a rate limit, an order
    it does not know, or an answer that may hide a placed order."""

    def test_a_rate_limit_is_no_order_refusal(self, sim):
        with okx_private(sim) as okx, mexc_private(sim) as mexc:
            sim.sim.add_rest_fault("rate-limit", "/api/v3/order")
            with pytest.raises(cw.RateLimited) as limited:
                mexc.create_order("BTCUSDT", "limit", "buy", "1", "20000")
            assert (limited.value.status, limited.value.retry_after) == (429, 2.0)
            sim.sim.add_rest_fault("rate-limit", "/api/v5/trade/order")
            with pytest.raises(cw.RateLimited) as limited:
                okx.fetch_order("BTC-USDT", client_order_id="any1")
            assert limited.value.retry_after == 2.0
            sim.sim.add_rest_fault("okx-rate-limit", "/api/v5/trade/orders-pending")
            with pytest.raises(cw.RateLimited, match="50011"):
                okx.fetch_open_orders()
            sim.sim.okx_rate_limited_ops = 1  # OKX's 50011 in an order's reply
            with pytest.raises(cw.RateLimited) as limited:
                okx.create_order("BTC-USDT", "limit", "buy", "1", "20000")
            assert limited.value.code == "50011"
            for error in (limited.value,):
                assert isinstance(error, cw.RequestRefused)
                assert not isinstance(error, cw.OrderRejected)
            assert okx.create_order("BTC-USDT", "limit", "buy", "1", "20000")["sCode"] == "0"

    def test_order_not_found_on_both_exchanges_for_every_call(self, sim):
        with okx_private(sim) as okx, mexc_private(sim) as mexc:
            calls = [lambda: okx.cancel_order("BTC-USDT", client_order_id="nosuch1"),
                     lambda: okx.amend_order("BTC-USDT", client_order_id="nosuch1", amount="2"),
                     lambda: okx.fetch_order("BTC-USDT", client_order_id="nosuch1"),
                     lambda: mexc.cancel_order("BTCUSDT", client_order_id="nosuch1"),
                     lambda: mexc.fetch_order("BTCUSDT", client_order_id="nosuch1")]
            for call in calls:
                with pytest.raises(cw.OrderNotFound):
                    call()

    @pytest.mark.parametrize("fault", ["not-json", "empty", "null", "array"])
    def test_an_answer_that_is_not_the_documented_one_is_an_unknown_outcome(self, sim, fault):
        with okx_private(sim) as okx, mexc_private(sim) as mexc:
            one: list[Any] = [{"symbol": "BTCUSDT", "type": "limit", "side": "buy", "amount": "1",
                               "price": "20000"}]
            calls = [
                ("/api/v3/order", lambda: mexc.create_order("BTCUSDT", "limit", "buy", "1", "2")),
                ("/api/v3/order", lambda: mexc.cancel_order("BTCUSDT", client_order_id="c1")),
                ("/api/v3/order", lambda: mexc.fetch_order("BTCUSDT", client_order_id="c1")),
                ("/api/v3/batchOrders", lambda: mexc.create_orders(one)),
                ("/api/v3/openOrders", lambda: mexc.fetch_open_orders("BTCUSDT")),
                ("/api/v3/openOrders", lambda: mexc.cancel_all_orders("BTCUSDT")),
                ("/api/v5/trade/order", lambda: okx.fetch_order("BTC-USDT", client_order_id="c1")),
                ("/api/v5/trade/orders-pending", lambda: okx.fetch_open_orders()),
                ("/api/v5/trade/cancel-all-after", lambda: okx.cancel_all_orders_after(0)),
            ]
            for path, call in calls:
                sim.sim.add_rest_fault(fault, path)
                with pytest.raises(cw.RequestOutcomeUnknown):
                    call()

    @pytest.mark.parametrize("odd", ["empty-data", "blank-entry"])
    def test_an_okx_acknowledgement_out_of_form_is_an_unknown_outcome(self, sim, odd):
        """OKX carried each operation out; its reply gives no order's outcome."""
        with okx_private(sim) as okx:
            calls = [lambda: okx.create_order("BTC-USDT", "limit", "buy", "1", "20000",
                                              client_order_id="odd1"),
                     lambda: okx.amend_order("BTC-USDT", client_order_id="odd1", amount="2"),
                     lambda: okx.cancel_order("BTC-USDT", client_order_id="odd1")]
            states = []
            for call in calls:
                sim.control("POST", f"/okx?odd-answer={odd}")
                with pytest.raises(cw.RequestOutcomeUnknown, match="not the documented answer"):
                    call()
                found = okx.fetch_order("BTC-USDT", client_order_id="odd1")  # as docs/package.md says
                states.append((found["state"], found["sz"]))
            assert states == [("live", "1"), ("live", "2"), ("canceled", "2")]

    def test_an_okx_batch_answer_that_does_not_match_its_orders_is_an_unknown_outcome(self, sim):
        two: list[Any] = [{"symbol": "BTC-USDT", "type": "limit", "side": "buy", "amount": "1",
                           "price": "20000", "client_order_id": f"sb{i}"} for i in (1, 2)]
        names: list[Any] = [{"symbol": "BTC-USDT", "client_order_id": f"sb{i}"} for i in (1, 2)]
        with okx_private(sim) as okx:
            calls = [lambda: okx.create_orders(two),
                     lambda: okx.amend_orders([dict(n, amount="2") for n in names]),
                     lambda: okx.cancel_orders(names)]
            for call in calls:  # code "0" and one entry for two orders: not "nothing was done"
                sim.control("POST", "/okx?odd-answer=short-batch")
                with pytest.raises(cw.RequestOutcomeUnknown):
                    call()
            assert [okx.fetch_order("BTC-USDT", client_order_id=f"sb{i}")["state"]
                    for i in (1, 2)] == ["canceled", "canceled"]
            # both cancelled already: OKX refuses each ("1"), which says nothing was done
            assert [type(r) for r in okx.cancel_orders(names)] == [cw.OrderNotFound] * 2
            sim.control("POST", "/okx?odd-answer=blank-entry")
            with pytest.raises(cw.RequestOutcomeUnknown):
                okx.create_orders(two[:1])

    def test_a_mexc_batch_answered_short_is_an_unknown_outcome(self, sim):
        with mexc_private(sim) as mexc:
            sim.sim.add_rest_fault("short-batch", "/api/v3/batchOrders")
            with pytest.raises(cw.RequestOutcomeUnknown, match="not a batch's answer"):
                mexc.create_orders([{"symbol": "BTCUSDT", "type": "limit", "side": "buy",
                                     "amount": "1", "price": "20000",
                                     "client_order_id": f"ms{i}"} for i in (1, 2)])
            assert [mexc.fetch_order("BTCUSDT", client_order_id=f"ms{i}")["status"]
                    for i in (1, 2)] == ["NEW", "NEW"]

    def test_an_error_code_in_a_200_is_the_refusal_it_names(self, sim):
        with mexc_private(sim) as mexc:
            sim.sim.add_rest_fault("code-in-200", "/api/v3/order")
            with pytest.raises(cw.OrderRejected) as refused:
                mexc.create_order("BTCUSDT", "limit", "buy", "1", "20000")
            assert (refused.value.code, refused.value.status) == ("700004", 200)


class TestStream:
    def test_mexc_streams_by_their_names_and_parts(self, sim):
        """3 and 7: the module's natural reading subscribes to nothing and delivers PONGs."""
        native = m.MexcConnector()
        native.subscribe(host="spot@public.aggre.deals.v3.api.pb", symbol="BTCUSDT",
                         level="100ms")
        native.connect(sim.sim.url("/ws"))
        first = native.wsrun()
        replies = [next(first), next(first)]
        assert '{"id":0,"code":0,"msg":"PONG"}' in replies
        assert any("Blocked" in reply for reply in replies)
        native.disconnect()

        assert cw.stream_name("spot@public.aggre.deals.v3.api.pb", symbol="BTCUSDT",
                              speed="100ms") == DEALS
        mexc = cw.MEXC(url=sim.sim.url("/ws"), decode=True)
        mexc.subscribe("spot@public.limit.depth.v3.api.pb", symbol="BTCUSDT", level="5")
        mexc.subscribe(DEALS)
        sim.sim.rate = 50
        with mexc:
            assert mexc.recv(READ_TIMEOUT) == (
                '{"id":0,"code":0,"msg":"spot@public.limit.depth.v3.api.pb@BTCUSDT@5,%s"}' % DEALS)
            push = mexc.recv(READ_TIMEOUT)
            assert isinstance(push, dict) and push["symbol"] == "BTCUSDT"

    def test_iteration_ends_and_says_why(self, sim):
        """5: the module's loop ends by raising; the package's as Python's do."""
        okx = cw.OKX(url=sim.sim.url("/ws/v5/public"))
        okx.subscribe("tickers", "BTC-USDT")
        with okx:
            ack = okx.recv(READ_TIMEOUT)
            # The cheap read path: a public OKX loop is the module's own iterator.
            assert type(iter(okx)) is m.WebSocketIterator
            sim.reset(sim.sim.connections[-1].id)
            assert list(okx) == []  # ends, no exception
            assert okx.close_reason == "Connection reset by peer"
            with pytest.raises(cw.ConnectionClosed) as closed:
                okx.recv(READ_TIMEOUT)
            assert closed.value.reason == "Connection reset by peer"
        assert '"event":"subscribe"' in ack
        native = m.OkxConnector()
        with pytest.raises(RuntimeError, match="No more messages"):
            list(native.wsrun())

    def test_recv_times_out_and_loses_nothing(self, sim):
        """6: the module has no bounded read; the package raises TimeoutError, sync and async."""
        with cw.OKX(url=sim.sim.url("/ws/v5/public")) as okx:
            with pytest.raises(TimeoutError):
                okx.recv(timeout=0.05)
            okx.subscribe("tickers", "BTC-USDT")
            assert '"event":"subscribe"' in okx.recv(READ_TIMEOUT)

        async def main() -> list[str]:
            async with cw.AsyncOKX(url=sim.sim.url("/ws/v5/public")) as okx:
                with pytest.raises(TimeoutError):
                    await okx.recv(timeout=0.05)
                okx.subscribe("tickers", "BTC-USDT")
                first = await okx.recv(READ_TIMEOUT)
                await okx.disconnect()
                return [first] + [item async for item in okx]

        got = asyncio.run(main())
        assert '"event":"subscribe"' in got[0]
        it = m.OkxConnector().wsrun()
        assert it.recv(0) is None and list(it.until_end()) == []
        with pytest.raises(ValueError, match="non-negative"):
            it.recv(-1)

    def test_huge_time_values_wait_as_long_as_they_can(self, sim):
        """Seconds past any lock's or clock's range mean "as long as it takes", not an
        OverflowError; a value that is no time is a ValueError."""
        huge = (1e10, float("inf"))
        with cw.OKX(url=sim.sim.url("/ws/v5/public"), open_timeout=1e10) as okx:
            for timeout in huge:
                okx.subscribe("tickers", "BTC-USDT")
                assert '"event":"subscribe"' in okx.recv(timeout=timeout)
            with pytest.raises(ValueError, match="seconds"):
                okx.recv(timeout=float("nan"))
        with okx_private(sim, open_timeout=float("inf")) as private:
            placed = private.create_order("BTC-USDT", "limit", "buy", "0.001", "20000",
                                          timeout=1e10)
            assert placed["ordId"]

        async def main() -> list[str]:
            async with cw.AsyncOKX(url=sim.sim.url("/ws/v5/public"), open_timeout=1e10) as aokx:
                got = []
                for timeout in huge:
                    aokx.subscribe("tickers", "BTC-USDT")
                    got.append(await aokx.recv(timeout=timeout))
                return got

        assert all('"event":"subscribe"' in reply for reply in asyncio.run(main()))
        stream = cw.Reconnecting(cw.OKX(url="wss://localhost:1/ws/v5/public"),
                                 first_backoff=1e10, max_backoff=1e10)
        kinds = []
        for event in stream:
            kinds.append(event.kind)
            if event.kind == "waiting":
                threading.Thread(target=stream.stop).start()
        assert kinds == ["connect_failed", "waiting", "stopped"]

    @pytest.mark.parametrize("reader", ["okx", "okx-async", "mexc"])
    def test_gaps_are_reported_on_request(self, sim, reader):
        """A break in an order-book sequence is an event between the messages, ahead of the
        push that shows it, when asked for; the plain read path stays the module's own."""
        sim.sim.rate = 500
        okx_url = sim.sim.url("/ws/v5/public")
        items: list = []

        def collect(item) -> bool:  # True once the push after the gap is in
            items.append(item)
            if len(items) == 20:
                sim.inject_gap()
            return len(items) >= 1000 or len(items) > 1 and isinstance(items[-2], cw.StreamEvent)

        if reader == "okx-async":
            async def main() -> int:
                async with cw.AsyncOKX(url=okx_url, report_gaps=True) as okx:
                    okx.subscribe("books", "BTC-USDT")
                    async with asyncio.timeout(READ_TIMEOUT):
                        async for item in okx:
                            if collect(item):
                                break
                    return okx.native.stats()["gaps"]

            gaps = asyncio.run(main())
        else:
            if reader == "okx":
                c = cw.OKX(url=okx_url, report_gaps=True)
                c.subscribe("books", "BTC-USDT")
            else:
                c = cw.MEXC(url=sim.sim.url("/ws"), report_gaps=True)
                c.subscribe("spot@public.aggre.depth.v3.api.pb@10ms@BTCUSDT")
            with c:
                assert type(iter(c)) is not m.WebSocketIterator
                guard = threading.Timer(READ_TIMEOUT, c.disconnect)  # a stall ends the loop
                guard.start()
                try:
                    for item in c:
                        if collect(item):
                            break
                finally:
                    guard.cancel()
                gaps = c.native.stats()["gaps"]
        gap = items[-2]
        assert isinstance(gap, cw.StreamEvent) and (gap.kind, gap.attempt, gaps) == ("gap", 1, 1)
        assert (gap.channel, gap.instrument) == (
            ("spot@public.aggre.depth.v3.api.pb@10ms@BTCUSDT", "BTCUSDT") if reader == "mexc"
            else ("books", "BTC-USDT"))
        assert gap.got is not None and gap.expected is not None and gap.got > gap.expected
        assert not isinstance(items[-1], cw.StreamEvent)

    @pytest.mark.parametrize("reader", ["okx-recv", "okx-private", "mexc", "okx-reconnecting",
                                        "mexc-async-reconnecting"])
    def test_a_refused_subscription_is_an_event_with_the_exchanges_code(self, sim, reader):
        """A mistyped channel is refused by the exchange: the stream says so, under
        Reconnecting too, instead of just carrying no data."""
        okx_url, mexc_url = sim.sim.url("/ws/v5/public"), sim.sim.url("/ws")
        bad_mexc = "spot@public.deals.v3.api@BTCUSDT"  # a retired JSON name
        if reader.startswith("mexc"):
            connector = (cw.AsyncMEXC if "async" in reader else cw.MEXC)(url=mexc_url)
            connector.subscribe(bad_mexc)
        else:
            connector = (okx_private(sim) if reader == "okx-private" else cw.OKX(url=okx_url))
            connector.subscribe("tickerz", "BTC-USDT")
        items: list[Any] = []

        def refused() -> bool:
            return any(isinstance(i, cw.StreamEvent) and i.kind == "subscribe_failed"
                       for i in items)

        if reader == "mexc-async-reconnecting":
            async def main() -> None:
                stream = cw.AsyncReconnecting(connector)
                async with asyncio.timeout(READ_TIMEOUT):
                    async for item in stream:
                        items.append(item)
                        if refused() or len(items) > 3:
                            await stream.stop()
            asyncio.run(main())
        elif reader == "okx-reconnecting":
            stream = cw.Reconnecting(connector)
            guard = threading.Timer(READ_TIMEOUT, stream.stop)  # bounds the failure
            guard.start()
            try:
                for item in stream:
                    items.append(item)
                    if refused() or len(items) > 3:
                        stream.stop()
            finally:
                guard.cancel()
        else:
            with connector:
                if reader == "okx-recv":
                    items.append(connector.recv(READ_TIMEOUT))
                else:
                    guard = threading.Timer(READ_TIMEOUT, connector.disconnect)
                    guard.start()
                    try:
                        for item in connector:
                            items.append(item)
                            break
                    finally:
                        guard.cancel()
        [event] = [i for i in items if isinstance(i, cw.StreamEvent) and i.kind not in (
            "connected", "disconnected", "stopped", "waiting")]
        assert (event.kind, event.attempt) == ("subscribe_failed", 1)
        if reader.startswith("mexc"):
            assert (event.code, event.channel) == ("0", bad_mexc)
            assert event.reason == (f"Not Subscribed successfully! [{bad_mexc}]  "
                                    "Reason\uff1a Blocked!")
        else:
            assert event.code == "60018" and "tickerz" in (event.reason or "")

    def test_okx_channels_keyed_by_type_family_or_currency(self, sim):
        okx = cw.OKX(url=sim.sim.url("/ws/v5/public"))
        okx.subscribe("instruments", inst_type="SPOT")
        okx.subscribe("opt-summary", inst_family="BTC-USD", extra_params={"updateInterval": "0"})
        with pytest.raises(ValueError, match="needs inst_id"):
            okx.subscribe("tickers")
        with pytest.raises(TypeError, match="unexpected keyword"):
            okx.subscribe("tickers", instId="BTC-USDT")  # type: ignore[call-arg]
        with okx:
            replies = [json.loads(okx.recv(READ_TIMEOUT)) for _ in range(2)]
        assert [r.get("event") for r in replies] == ["subscribe", "subscribe"]
        sent = json.loads(next(f for f in sim.frames() if '"op":"subscribe"' in f))
        assert sent["args"] == [{"channel": "instruments", "instType": "SPOT"},
                                {"channel": "opt-summary", "extraParams": '{"updateInterval":"0"}',
                                 "instFamily": "BTC-USD"}]

    def test_quiet_by_default(self, sim):
        """7: the module prints a line per MEXC ping (and websocketpp's); the package nothing."""
        url = sim.sim.url("/ws")
        runs = {"module": f"c = m.MexcConnector(); c.connect({url!r}); next(c.wsrun())",
                "package": f"with cw.MEXC(url={url!r}) as c: c.subscribe({DEALS!r}); c.recv(10)"}
        out = {}
        for name, run in runs.items():
            code = f"import corvane_ws as cw, _corvane_ws_module as m\n{run}\nc.disconnect()\n"
            done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                  timeout=60, cwd=ROOT)
            assert done.returncode == 0, done.stderr
            out[name] = done.stdout + done.stderr
        assert "Пингуем" in out["module"]
        assert out["package"] == ""


    def test_one_log_line_per_event_at_its_level(self, sim):
        """At the package's logger: library chatter (websocketpp's lines, MEXC's pings, the
        subscription list) at DEBUG, a refused connect one WARNING line. A connection's lines
        come on a thread of their own, so the lines are compared whole, at exit."""
        script = f"""
import logging, sys
logging.basicConfig(level=logging.DEBUG, stream=sys.stdout, format="%(levelname)s %(message)s")
import corvane_ws as cw
try:
    cw.OKX(url="wss://localhost:1/ws/v5/public").connect()
except cw.ConnectError:
    pass
with cw.OKX(url={sim.sim.url("/ws/v5/public")!r}) as okx:
    okx.subscribe("tickers", "BTC-USDT"); okx.recv(10)
    okx.subscribe("trades", "BTC-USDT"); okx.recv(10)
with cw.MEXC(url={sim.sim.url("/ws")!r}) as mexc:
    mexc.subscribe({DEALS!r}); mexc.recv(10)
"""
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              timeout=60, cwd=ROOT)
        assert done.returncode == 0, done.stderr
        lines = done.stdout.splitlines()
        assert sorted(line for line in lines if not line.startswith("DEBUG ")) == [
            "INFO Connection MEXC closed", "WARNING Connection failed"]
        assert any("Пингуем" in line for line in lines)  # kept, at DEBUG


class TestConnect:
    def test_failures_raise_connection_errors_with_the_reason(self, sim):
        """8: the module's connect returns None and a refused login leaves the connection up."""
        native = m.OkxConnector("bad", "key", "pass")
        assert native.connect(sim.sim.url("/ws/v5/private")) is None
        assert '"code":"60005"' in next(native.wsrun())
        assert native.stats()["connected"]
        native.disconnect()

        with pytest.raises(cw.ConnectError, match="Connection refused"):
            with cw.OKX(url="wss://localhost:1/ws/v5/public"):
                pass
        refused = cw.OKX(api_key="bad", secret="key", passphrase="pass",
                         url=sim.sim.url("/ws/v5/private"))
        with pytest.raises(cw.LoginRefused) as e:
            refused.connect()
        assert e.value.code == "60005" and isinstance(e.value, ConnectionError)
        assert not refused.connected
        sim.wait_closed(sim.sim.connections[-1].id)
        sim.sim.refuse_status = 503
        with pytest.raises(cw.ConnectError, match="HTTP 503"):
            with cw.MEXC(url=sim.sim.url("/ws")):
                pass

    def test_a_peer_that_never_answers_is_an_open_timeout(self):
        with socket.create_server(("127.0.0.1", 0)) as silent:  # accepts, never speaks TLS
            okx = cw.OKX(url=f"wss://localhost:{silent.getsockname()[1]}/ws/v5/public",
                         open_timeout=0.2)
            with pytest.raises(cw.OpenTimeout) as e:
                okx.connect()
            assert isinstance(e.value, TimeoutError) and isinstance(e.value, ConnectionError)
            assert not okx.connected

    @pytest.mark.parametrize("exchange", ["okx", "mexc"])
    def test_a_hung_peer_is_found_by_the_ping_timeout(self, sim, exchange):
        """A peer that stops reading and writing with TCP up: found after ping_interval plus
        ping_timeout, and the reason says so."""
        if exchange == "okx":
            connector: Any = cw.OKX(url=sim.sim.url("/ws/v5/public"), ping_interval=0.2,
                                    ping_timeout=0.3)
            connector.subscribe("tickers", "BTC-USDT")
        else:
            connector = cw.MEXC(url=sim.sim.url("/ws"), ping_interval=0.2, ping_timeout=0.3)
            connector.subscribe(DEALS)
        with connector:
            connector.recv(timeout=READ_TIMEOUT)  # the subscription's answer
            answered = len(sim.frames())
            assert sim.wait_frames(sim.sim.connections[-1].id, answered + 3)  # pings answered
            assert connector.connected
            sim.control("POST", f"/freeze?conn={sim.sim.connections[-1].id}")
            frozen = time.monotonic()
            with pytest.raises(cw.ConnectionClosed):
                while True:
                    connector.recv(timeout=READ_TIMEOUT)
            found = time.monotonic() - frozen
            assert connector.close_reason == (
                "ping timeout: nothing received within 0.3 s of a ping: closed as dead")
        assert found < 0.2 + 0.3 + 1.5

    def test_a_hung_handshake_gives_its_reason(self, sim):
        """The TLS handshake's own time-out, not the TLS shutdown's failure that follows it."""
        sim.control("POST", "/freeze?handshakes=on")
        with pytest.raises(cw.ConnectError, match="^TLS handshake timed out$"):
            cw.OKX(url=sim.sim.url("/ws/v5/public")).connect()

    def test_keepalive_arguments_are_checked(self):
        for cls in (cw.OKX, cw.MEXC, cw.AsyncOKX, cw.AsyncMEXC):
            for bad in (-1, 0, float("nan")):
                with pytest.raises(ValueError, match="ping_interval must be"):
                    cls(ping_interval=bad)
                with pytest.raises(ValueError, match="ping_timeout must be"):
                    cls(ping_timeout=bad)
            huge = cls(ping_interval=1e300, ping_timeout=float("inf"))
            assert huge.ping_interval == huge.ping_timeout == 1e9  # as long as can be waited
            off = cls(ping_interval=None, ping_timeout=None)
            assert off.ping_interval is None and off.ping_timeout is None
            assert (cls().ping_interval, cls().ping_timeout) == (15.0, 10.0)
        with pytest.raises(ValueError, match="ping_timeout must be a number of seconds > 0"):
            m.MexcConnector().set_keepalive(1.0, -2.0)
        m.OkxConnector().set_keepalive(float("inf"), None)

    def test_limit_queue_is_checked_in_the_packages_words(self):
        for cls in (cw.OKX, cw.MEXC, cw.AsyncOKX, cw.AsyncMEXC):
            for bad in (1e6, "1000", True):
                with pytest.raises(TypeError, match="^limit_queue must be an int"):
                    cls(limit_queue=bad)
            with pytest.raises(ValueError, match="^limit_queue must be 0"):
                cls(limit_queue=-1)

    def test_keyword_credentials_and_documented_names(self):
        """4: the module's stub calls the credentials arg0..arg2; the package names them."""
        assert "arg0" in m.MexcConnector.__init__.__doc__
        for cls in (cw.OKX, cw.MEXC, cw.AsyncOKX, cw.AsyncMEXC):
            params = inspect.signature(cls).parameters
            assert params["api_key"].kind is inspect.Parameter.KEYWORD_ONLY
            assert params["secret"].kind is inspect.Parameter.KEYWORD_ONLY
        with pytest.raises(TypeError):
            cw.MEXC("key", "secret")  # type: ignore[misc]
        with pytest.raises(ValueError, match="needs api_key, secret and passphrase"):
            cw.OKX(api_key="k", secret="s")
        assert cw.OKX(demo=True).url == "wss://wspap.okx.com:8443/ws/v5/public"
        assert cw.OKX(api_key="k", secret="s", passphrase="p").url == \
            "wss://ws.okx.com:8443/ws/v5/private"
        assert cw.MEXC().url == "wss://wbs-api.mexc.com/ws"
        undocumented = [name for name in cw.__all__ if inspect.isclass(getattr(cw, name)) or
                        inspect.isroutine(getattr(cw, name))]
        undocumented = [name for name in undocumented if not inspect.getdoc(getattr(cw, name))]
        assert undocumented == []
        for cls in (cw.OKX, cw.MEXC, cw.AsyncOKX, cw.AsyncMEXC, cw.Reconnecting):
            assert [n for n, f in inspect.getmembers(cls, callable)
                    if not n.startswith("_") and not inspect.getdoc(f)] == []


class TestReconnecting:
    def test_reconnects_resubscribes_reports_and_stops(self, sim):
        """10: reconnecting was an example to copy; now it is an API."""
        okx = cw.OKX(url=sim.sim.url("/ws/v5/public"))
        okx.subscribe("tickers", "BTC-USDT")
        stream = cw.Reconnecting(okx, first_backoff=0.01, max_backoff=0.02)
        steps: list[str] = []
        for item in stream:
            if isinstance(item, cw.StreamEvent):
                steps.append(item.kind if item.kind != "disconnected" else f"dropped: {item.reason}")
            elif '"event":"subscribe"' in item:
                steps.append("subscribed")
                if steps.count("subscribed") == 2:
                    threading.Thread(target=stream.stop).start()
                else:
                    sim.reset(sim.sim.connections[-1].id)
        assert steps == ["connected", "subscribed", "dropped: Connection reset by peer", "waiting",
                         "connected", "subscribed", "dropped: None", "stopped"]

    def test_a_reader_stalled_past_the_bound_gets_a_gap_and_a_new_connection(self, sim):
        """Memory stays bounded whatever the reader does: past limit_queue and its margin the
        connection is closed, and the stream says what it could not keep."""
        limit, margin = 1 << 20, 16 << 20
        okx = cw.OKX(url=sim.sim.url("/raw"), limit_queue=limit)
        stream = cw.Reconnecting(okx, first_backoff=0.01, max_backoff=0.02)
        items = iter(stream)
        assert next(items) == cw.StreamEvent("connected", 1)
        conn = sim.wait_connection(1)
        sim.soon(lambda: sim.sim.send_repeated(conn, 40_000, lambda i: f"{i:08d}" + "x" * 992))
        deadline = time.monotonic() + 60  # the stream reads on past the bound 20 s into the stall
        while okx.native.stats()["queue_overruns"] == 0:
            assert okx.native.stats()["queued_bytes"] <= limit + margin
            assert time.monotonic() < deadline, "the connection was not closed"
            time.sleep(0.01)
        seqs: list[int] = []
        events: list[cw.StreamEvent] = []
        for item in items:
            if isinstance(item, cw.StreamEvent):
                events.append(item)
                if item.kind == "connected":
                    break
            else:
                seqs.append(int(item[:8]))
        stream.stop()
        assert seqs == list(range(1, len(seqs) + 1))
        assert [e.kind for e in events] == ["gap", "disconnected", "waiting", "connected"]
        gap = events[0]
        assert gap.attempt == 1 and gap.reason and gap.reason.startswith("the reader fell behind")
        assert events[1].reason == gap.reason

    def test_a_hung_exchange_is_reported_as_such_on_every_attempt(self, sim, run):
        """The connection found dead by its ping, then each reconnect's hung TLS handshake,
        each with its own reason (asyncio face; the blocking one reads the same reasons)."""
        async def main():
            okx = cw.AsyncOKX(url=sim.sim.url("/ws/v5/public"), ping_interval=0.2,
                              ping_timeout=0.3)
            okx.subscribe("tickers", "BTC-USDT")
            stream = cw.AsyncReconnecting(okx, first_backoff=0.01, max_backoff=0.02)
            steps: list[str] = []
            async for item in stream:
                if isinstance(item, cw.StreamEvent):
                    steps.append(f"{item.kind}: {item.reason}" if item.reason else item.kind)
                    if item.kind == "connect_failed":
                        await stream.stop()
                elif '"event":"subscribe"' in item:
                    sim.control("POST", "/freeze?handshakes=on")
                    sim.control("POST", f"/freeze?conn={sim.sim.connections[-1].id}")
            return steps

        assert [s for s in run(main()) if not s.startswith("waiting")] == [
            "connected",
            "disconnected: ping timeout: nothing received within 0.3 s of a ping: closed as dead",
            "connect_failed: TLS handshake timed out", "stopped"]

    @pytest.mark.parametrize("face", ["blocking", "asyncio"])
    def test_a_stop_between_the_stop_check_and_connect_still_wins(self, sim, face):
        """The connector's connect() first lets stop() run to its end: the window between the
        loop's last look at stop() and the connect, widened to all of stop()."""
        url = sim.sim.url("/ws/v5/public")
        if face == "blocking":
            class StoppedFirst(cw.OKX):
                def connect(self):
                    stopper = threading.Thread(target=stream.stop)
                    stopper.start()
                    stopper.join(READ_TIMEOUT)
                    return super().connect()

            okx = StoppedFirst(url=url)
            okx.subscribe("tickers", "BTC-USDT")  # its ack would be read if the stream were
            stream = cw.Reconnecting(okx)
            guard = threading.Timer(READ_TIMEOUT, okx.disconnect)  # bounds the failure
            guard.start()
            try:
                items = list(stream)
            finally:
                guard.cancel()
        else:
            class AsyncStoppedFirst(cw.AsyncOKX):
                async def connect(self):
                    await astream.stop()
                    return await super().connect()

            async def main() -> list[Any]:
                async with asyncio.timeout(READ_TIMEOUT):
                    return [item async for item in astream]

            aokx = AsyncStoppedFirst(url=url)
            aokx.subscribe("tickers", "BTC-USDT")
            astream = cw.AsyncReconnecting(aokx)
            items = asyncio.run(main())
        assert [(i.kind, i.reason) for i in items] == [
            ("connected", None), ("disconnected", None), ("stopped", None)]
        connector = okx if face == "blocking" else aokx
        assert not connector.connected


def test_the_simulator_runs_from_anywhere(tmp_path):
    """9: python -m corvane_ws.sim works outside the repository and tells what to use."""
    process = subprocess.Popen([sys.executable, "-m", "corvane_ws.sim", "--control-port", "0"],
                               cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
    try:
        ready = json.loads(process.stdout.readline())
        guide = [process.stderr.readline() for _ in range(7)]
    finally:
        process.terminate()
        process.wait(READ_TIMEOUT)
        process.stdout.close()
        process.stderr.close()
    assert guide[0].startswith(f"CA file: {ready['ca_file']}")
    assert f"wss://localhost:{ready['ws_port']}/ws/v5/private" in guide[1]
    assert guide[1].endswith(f"REST https://localhost:{ready['rest_port']}\n")
    assert f"passphrase={OKX_TEST.passphrase}" in guide[2]
    assert f"api_key={MEXC_TEST.api_key} secret={MEXC_TEST.secret}" in guide[4]
    assert guide[5] == f"Control: http://127.0.0.1:{ready['control_port']}\n"
    assert "/frames" in guide[6]


def test_the_guide_names_the_okx_rest_url_the_dead_man_switch_works_at(sim, tmp_path):
    """The OKX REST URL the simulator prints takes signed POSTs (the WebSocket port takes only
    GETs), so a program given it keeps a dead-man switch."""
    from corvane_ws.sim.guide import describe
    okx_line = describe(sim.sim, tmp_path / "ca.pem").splitlines()[1]
    rest_url = okx_line.rsplit("REST ", 1)[1]
    assert rest_url == f"https://localhost:{sim.sim.rest_port}"
    native = m.OkxConnector(OKX_TEST.api_key, OKX_TEST.secret, OKX_TEST.passphrase)
    native.rest_url = rest_url
    assert json.loads(native.cancel_all_after(10))["code"] == "0"
    assert json.loads(native.cancel_all_after(0))["code"] == "0"


@pytest.mark.timeout(900)
def test_the_wheel_installs_and_runs_in_a_clean_venv(tmp_path, sim):
    """The wheel holds the module, its stub and the package; it installs without building and
    needs only the system's runtime libraries."""
    subprocess.run(["make", "--no-print-directory", "wheel"], cwd=ROOT, check=True, timeout=840,
                   capture_output=True)
    wheel = next((ROOT / "dist").glob("corvane_ws-*.whl"))
    venv.create(tmp_path / "venv", with_pip=False)
    python = tmp_path / "venv" / "bin" / "python"
    subprocess.run([sys.executable, "-m", "pip", "--python", str(python), "install", "-q",
                    "--no-index", "--no-deps", "--only-binary", ":all:", str(wheel)],
                   check=True, timeout=120)
    session = (
        "import corvane_ws as cw, _corvane_ws_module as m, pathlib\n"
        f"with cw.OKX(url={sim.sim.url('/ws/v5/public')!r}) as okx:\n"
        "    okx.subscribe('tickers', 'BTC-USDT')\n"
        "    print(okx.recv(10))\n"
        "print(pathlib.Path(m.__file__).parent.name, (pathlib.Path(cw.__file__).parent / 'py.typed').exists())\n")
    done = subprocess.run([str(python), "-c", session], capture_output=True, text=True,
                          cwd=tmp_path, timeout=60, env=dict(os.environ))
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert '"event":"subscribe"' in lines[0] and lines[1] == "site-packages True"
    so = next((tmp_path / "venv").glob("lib/python3.12/site-packages/_corvane_ws_module*.so"))
    needed = subprocess.run(["readelf", "-d", str(so)], capture_output=True, text=True,
                            check=True).stdout
    libraries = {line.split("[")[1].split("]")[0] for line in needed.splitlines() if "NEEDED" in line}
    assert libraries <= {"libssl.so.3", "libcrypto.so.3", "libstdc++.so.6", "libgcc_s.so.1",
                         "libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2"}


def dead_man_requests(sim):
    return [r.target for r in sim.sim.recorder.requests].count("/api/v5/trade/cancel-all-after")


class TestDeadManSwitch:
    """The switch is refreshed while the program makes progress: a reader waiting on a running
    loop does, one waiting on a frozen loop does not."""

    @staticmethod
    async def armed(sim, okx):
        """An order, a reader task waiting on the quiet stream, and a 10 s switch; the order."""
        placed = await okx.create_order("BTC-USDT", "limit", "buy", "1", "20000")

        async def drain():
            async for _ in okx:
                pass

        reader = asyncio.ensure_future(drain())  # waits before the switch's call returns
        await okx.cancel_all_orders_after(10)
        return placed["ordId"], reader

    @staticmethod
    def okx(sim):
        return cw.AsyncOKX(api_key=OKX_TEST.api_key, secret=OKX_TEST.secret,
                           passphrase=OKX_TEST.passphrase, url=sim.sim.url("/ws/v5/private"),
                           rest_url=f"https://localhost:{sim.sim.rest_port}")

    def test_a_frozen_loop_lets_the_switch_fire(self, sim, run):
        fired = threading.Event()
        fires = sim.sim.okx_dead_man_fires

        async def observed():
            await fires()
            fired.set()

        sim.sim.okx_dead_man_fires = observed

        async def main():
            async with self.okx(sim) as okx:
                ord_id, reader = await self.armed(sim, okx)
                in_time = fired.wait(READ_TIMEOUT * 2.5)  # the loop frozen, its reader waiting
                reader.cancel()
                return ord_id, in_time

        ord_id, in_time = run(main())
        assert in_time, "the switch was kept alive by a reader on a frozen loop"
        assert sim.sim.okx_orders[ord_id]["state"] == "canceled"

    def test_a_reader_waiting_on_a_running_loop_keeps_it(self, sim, run):
        async def main():
            async with self.okx(sim) as okx:
                ord_id, reader = await self.armed(sim, okx)
                # Three refreshes, each a third of the period apart: past the first countdown.
                await asyncio.to_thread(sim.sim.recorder.wait_for,
                                        lambda: dead_man_requests(sim) >= 4, READ_TIMEOUT * 2.5)
                state = sim.sim.okx_orders[ord_id]["state"]
                await okx.cancel_all_orders_after(0)
                reader.cancel()
                return state

        assert run(main()) == "live"


class TestCoreFedDirectly:
    """The package's I/O-free core (the opening steps, the matching of replies to the calls
    waiting for them, the reconnect plan) fed events directly, and the wake-up of a call
    waiting for its reply."""

    @staticmethod
    def opening(login=False):
        from corvane_ws._opening import Opening
        kept: list = []
        opening = Opening(login, kept.append)
        opening.begin()
        return opening, kept

    def test_the_first_open_after_earlier_connections_is_ours(self):
        opening, kept = self.opening()
        assert opening.event("open", 1)
        opening.begin()  # connects again: connection 1's last events are past
        assert not opening.event("close", 1, "bye")
        assert not opening.message("late", 1)
        assert not opening.event("switch", 2)
        assert opening.event("open", 2)
        assert kept == ["late"]
        assert opening.seen == 2

    def test_a_private_stream_is_ready_at_the_login_reply_and_keeps_what_came_before(self):
        opening, kept = self.opening(login=True)
        assert not opening.message('{"event":"subscribe"}', 1)  # before the open: kept
        assert not opening.event("open", 1)
        assert not opening.message(b"\x01", 1)
        assert not opening.message('{"arg":{}}', 1)
        assert opening.message('{"event":"login","code":"0","msg":"","connId":"a"}', 1)
        assert kept == ['{"event":"subscribe"}', b"\x01", '{"arg":{}}']
        assert opening.login_reply == {"event": "login", "code": "0", "msg": "", "connId": "a"}

    def test_a_refused_login_or_a_failed_connection_says_why(self):
        opening, _ = self.opening(login=True)
        opening.event("open", 1)
        with pytest.raises(cw.LoginRefused, match="60009 Login failed"):
            opening.message('{"event":"error","code":"60009","msg":"Login failed"}', 1)
        assert opening.login_reply is not None and opening.login_reply["code"] == "60009"
        opening.begin()
        with pytest.raises(cw.ConnectError, match="HTTP 503"):
            opening.event("fail", 2, "HTTP 503")
        opening.begin()
        assert str(opening.ended(None)) == "closed while opening"
        opening.begin()
        assert isinstance(opening.timed_out(1.5), cw.OpenTimeout)
        opening.begin()
        assert not opening.event("close", 2)  # connection 2 is past
        assert opening.event("open", 3) is False  # private: waits for the login
        with pytest.raises(cw.ConnectError, match="^close$"):
            opening.event("close", 3)

    @staticmethod
    def reply(ident, code="0"):
        return json.dumps({"id": ident, "op": "order", "code": code, "msg": "",
                           "data": [{"sCode": code, "ordId": "1"}]}, separators=(",", ":"))

    def test_replies_match_their_calls_in_any_order_and_only_once(self):
        from corvane_ws._acks import Acks
        acks = Acks()
        first, second = acks.expect("r1"), acks.expect("r2")
        assert acks.match(self.reply("r2")) and second.result(0)["id"] == "r2"
        assert not first.done()
        assert not acks.match(self.reply("r2"))  # a duplicate is the stream's
        assert acks.match(self.reply("r1")) and first.result(0)["id"] == "r1"
        assert not acks
        acks.expect("r3")
        acks.forget("r3")  # the call gave up: its late reply is the stream's
        assert not acks.match(self.reply("r3"))
        for other in ('{"arg":{"channel":"orders"},"data":[]}', '{"op":"order"', "[1]",
                      '{"event":"subscribe","arg":{}}'):
            assert not acks.match(other)

    def test_an_error_event_without_an_id_answers_only_a_lone_call_and_only_60028(self):
        from corvane_ws._acks import Acks
        acks = Acks()
        waiting = acks.expect("r1")
        assert not acks.match('{"event":"error","code":"60012","msg":"Invalid request"}')
        assert acks.match('{"event":"error","code":"60028","msg":"Not here"}')
        assert waiting.result(0)["code"] == "60028"
        acks.expect("r2"), acks.expect("r3")
        assert not acks.match('{"event":"error","code":"60028","msg":"Not here"}')
        assert acks.match('{"event":"error","code":"60011","msg":"x","id":"r3"}')

    @staticmethod
    def run_plan(outcomes, attempts=None, stop_after=None):
        """The plan's events, carrying its steps out as `outcomes` say: a connect's failure
        reason (None: it opened), the (carried, reason) of a read."""
        from corvane_ws._reconnect_plan import Backoff, ReconnectPlan, Step
        stopping = threading.Event()
        plan = ReconnectPlan(Backoff(1.0, 4.0, attempts, uniform=lambda low, high: high),
                             stopping.is_set)
        outcomes = iter(outcomes)
        events = []
        for step in plan:
            if isinstance(step, cw.StreamEvent):
                events.append((step.kind, step.attempt, step.reason or step.delay))
                if len(events) == stop_after:
                    stopping.set()
            elif step is Step.CONNECT:
                outcome = next(outcomes)
                if isinstance(outcome, str):
                    plan.failed(outcome)
            elif step is Step.READ:
                plan.read(*next(outcomes))
            else:
                plan.waited(stopping.is_set())
        return events

    def test_the_reconnect_plan_backs_off_doubling_capped_and_starts_over_after_messages(self):
        events = self.run_plan(["refused", "refused", "refused", None, (True, "reset"),
                                None, (False, "reset")], attempts=5)
        assert events == [
            ("connect_failed", 1, "refused"), ("waiting", 1, 1.0),
            ("connect_failed", 2, "refused"), ("waiting", 2, 2.0),
            ("connect_failed", 3, "refused"), ("waiting", 3, 4.0),
            ("connected", 4, None), ("disconnected", 4, "reset"), ("waiting", 4, 1.0),
            ("connected", 5, None), ("disconnected", 5, "reset"), ("stopped", 5, None)]

    def test_the_reconnect_plan_stops_where_it_is_told(self):
        # stopped while connected: no wait follows; stopped during a wait: no connect follows
        assert self.run_plan([None, (True, None)], stop_after=2) == [
            ("connected", 1, None), ("disconnected", 1, None), ("stopped", 1, None)]
        assert self.run_plan(["refused"], stop_after=2) == [
            ("connect_failed", 1, "refused"), ("waiting", 1, 1.0), ("stopped", 1, None)]
        assert self.run_plan([], attempts=0) == [("stopped", 0, None)]
        with pytest.raises(ValueError, match="first_backoff"):
            cw.Reconnecting(cw.OKX(url="wss://localhost:9/ws"), first_backoff=2, max_backoff=1)

    @staticmethod
    def unconnected_okx():
        return cw.OKX(api_key=OKX_TEST.api_key, secret=OKX_TEST.secret,
                      passphrase=OKX_TEST.passphrase, url="wss://localhost:9/ws/v5/private")

    def test_a_reply_wakes_the_call_waiting_while_another_thread_reads(self):
        from corvane_ws._connection import wait_reply
        okx = self.unconnected_okx()
        asleep, take_for = threading.Event(), okx._turn.take_for

        def sleeping(*args):
            asleep.set()
            return take_for(*args)

        okx._turn.take_for = sleeping
        assert okx._turn.take(None)  # a program read holds the turn throughout
        try:
            waiter = okx._replies.expect("r1")
            with ThreadPoolExecutor(1) as pool:
                call = pool.submit(wait_reply, okx, "r1", waiter, 600)
                assert asleep.wait(READ_TIMEOUT)
                assert okx._acks.match(self.reply("r1"))  # as the reader does
                assert call.result(READ_TIMEOUT)["id"] == "r1"
        finally:
            okx._turn.release()
        assert not okx._replies

    def test_a_call_waiting_while_nobody_reads_reads_itself_and_never_hangs(self):
        from corvane_ws._connection import wait_reply
        okx = self.unconnected_okx()  # its stream has ended: the call learns it by reading
        with pytest.raises(cw.RequestOutcomeUnknown, match="stream ended before the reply"):
            wait_reply(okx, "r1", okx._replies.expect("r1"), 600)
        with pytest.raises(cw.RequestOutcomeUnknown, match="no reply to r2 within 0 s"):
            wait_reply(okx, "r2", okx._replies.expect("r2"), 0)

    def test_async_a_reply_wakes_the_call_and_a_program_read_goes_before_a_waiting_call(self):
        from corvane_ws._connection import await_reply
        from corvane_ws._turns import AsyncReadTurn

        async def woken() -> dict:
            okx = cw.AsyncOKX(api_key=OKX_TEST.api_key, secret=OKX_TEST.secret,
                              passphrase=OKX_TEST.passphrase, url="wss://localhost:9/ws")
            asleep, until_free = asyncio.Event(), okx._turn.until_free

            async def sleeping(*args):
                asleep.set()
                await until_free(*args)

            okx._turn.until_free = sleeping
            await okx._turn.start_program_read()  # a program read is under way throughout
            try:
                call = asyncio.create_task(
                    await_reply(okx, "r1", okx._replies.expect("r1"), 600))
                await asyncio.wait_for(asleep.wait(), READ_TIMEOUT)
                await asyncio.to_thread(okx._acks.match, self.reply("r1"))  # another thread
                return await asyncio.wait_for(call, READ_TIMEOUT)
            finally:
                okx._turn.end_program_read()

        async def interrupted() -> str:
            turn = AsyncReadTurn()
            reading, never = asyncio.Event(), asyncio.get_running_loop().create_future()

            async def call_read() -> str:
                try:
                    async with asyncio.timeout(600) as scope:
                        turn.start_call_read(scope)
                        reading.set()
                        try:
                            await never
                        finally:
                            turn.end_call_read()
                except TimeoutError:
                    return "interrupted"
                return "read"

            call = asyncio.create_task(call_read())
            await reading.wait()
            await asyncio.wait_for(turn.start_program_read(), READ_TIMEOUT)
            assert turn.busy
            turn.end_program_read()
            return await asyncio.wait_for(call, READ_TIMEOUT)

        assert asyncio.run(woken())["id"] == "r1"
        assert asyncio.run(interrupted()) == "interrupted"
