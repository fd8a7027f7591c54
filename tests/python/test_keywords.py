"""Keyword arguments become text by fixed rules; the first missing required keyword is reported.

An unconnected public OKX connector records a subscription and prints its registry, which shows
the exact text each value became.
"""

import os
import subprocess
import sys

import pytest

import _corvane_ws_module as m


def stored(capfd, **kwargs):
    c = m.OkxConnector()
    c.subscribe(channel="c", **kwargs)
    return capfd.readouterr().out.rsplit("inst_id: ", 1)[1].rstrip("\n")


class TestConversion:
    @pytest.mark.parametrize(
        "value, text",
        [
            ("BTC-USDT", "BTC-USDT"),
            ("0.123456789", "0.123456789"),
            ("", ""),
            ("é€😀", "é€😀"),
            (2147483647, "2147483647"),
            (-2147483648, "-2147483648"),
            (-5, "-5"),
            (True, "1"),
            (False, "0"),
            (0.1, "0.100000"),
            (2.5, "2.500000"),
            (100.0, "100.000000"),
            (-0.0, "-0.000000"),
            (1e-7, "0.0000001"),
            (0.123456789, "0.123456789"),
            (float("inf"), "inf"),
            (float("-inf"), "-inf"),
            (float("nan"), "nan"),
        ],
    )
    def test_value_text(self, capfd, value, text):
        assert stored(capfd, inst_id=value) == text

    def test_subclasses_follow_their_base_type(self, capfd):
        class Price(float):
            pass

        class Name(str):
            pass

        class Size(int):
            pass

        assert stored(capfd, inst_id=Price(1.5)) == "1.500000"
        assert stored(capfd, inst_id=Name("x")) == "x"
        assert stored(capfd, inst_id=Size(7)) == "7"

    def test_numbers_ignore_a_comma_decimal_locale(self, tmp_path):
        subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", str(tmp_path / "de_DE.UTF-8")],
                       capture_output=True, timeout=120)
        script = ("import locale\n"
                  "locale.setlocale(locale.LC_ALL, 'de_DE.UTF-8')\n"
                  "assert '%.1f' % 0.5 == '0.5' and locale.format_string('%.1f', 0.5) == '0,5'\n"
                  "import _corvane_ws_module as m\n"
                  "for value in (20000.25, 1e-7, 0.1 + 0.2):\n"
                  "    m.OkxConnector().subscribe(channel='c', inst_id=value)\n")
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              timeout=60, env=dict(os.environ, LOCPATH=str(tmp_path)))
        assert done.stdout == ("Channel: c, inst_id: 20000.250000\n"
                               "Channel: c, inst_id: 0.0000001\n"
                               "Channel: c, inst_id: 0.30000000000000004\n"), done.stderr

    def test_floats_read_back_exactly(self, capfd):
        for value in (1e-7, 0.1 + 0.2, 123456.789012345, 5e-324, 1.7976931348623157e308):
            assert float(stored(capfd, inst_id=value)) == value

    @pytest.mark.parametrize("value", [2147483648, -2147483649, 10**40, "\ud800"])
    def test_invalid_values(self, value):
        with pytest.raises(TypeError, match="^Invalid type for argument 'inst_id'$"):
            m.OkxConnector().subscribe(channel="c", inst_id=value)

    @pytest.mark.parametrize("value", [b"x", bytearray(b"x"), [1], {"a": 1}, (1,), object(), 1j])
    def test_unsupported_types(self, value):
        with pytest.raises(TypeError, match="^Unsupported type for argument 'side'$"):
            m.OkxConnector().place_order(side=value)

    def test_decimal_is_unsupported(self):
        from decimal import Decimal

        with pytest.raises(TypeError, match="^Unsupported type for argument 'px'$"):
            m.OkxConnector().place_order(px=Decimal("1.5"))

    def test_none_counts_as_absent(self):
        c = m.OkxConnector()
        with pytest.raises(ValueError, match="^Missing required parameter: channel$"):
            c.subscribe(channel=None, inst_id="x")

    def test_conversion_failure_stops_before_the_connector(self, capfd):
        c = m.OkxConnector()
        with pytest.raises(TypeError):
            c.subscribe(channel="a", inst_id=b"x")
        assert capfd.readouterr().out == ""


class TestRequiredKeywords:
    @pytest.mark.parametrize(
        "cls, method, kwargs, missing",
        [
            (m.OkxConnector, "subscribe", {}, "channel"),
            (m.OkxConnector, "subscribe", {"channel": "c"}, "inst_id"),
            (m.OkxConnector, "unsubscribe", {"inst_id": "x"}, "channel"),
            (m.OkxConnector, "place_order", {}, "ord_id"),
            (m.OkxConnector, "place_order", {"ord_id": 1, "inst_id": "x", "side": "buy", "sz": 1}, "px"),
            (m.OkxConnector, "cancel_order", {"ord_id": 1, "inst_id": "x"}, "msg_id"),
            (m.OkxConnector, "cancel_order", {"msg_id": 1, "ord_id": 1}, "inst_id"),
            (m.MexcConnector, "cancel_order", {"msg_id": 1, "inst_id": "x"}, "ord_id"),
            (m.MexcConnector, "subscribe", {"symbol": "s"}, "host"),
            (m.MexcConnector, "unsubscribe", {"host": "h"}, "symbol"),
            (m.MexcConnector, "place_order", {"ord_id": 1, "inst_id": "x", "side": "BUY"}, "sz"),
            (m.MexcConnector, "cancel_order", {"ord_id": 1, "inst_id": "x"}, "msg_id"),
        ],
    )
    def test_first_missing_is_reported(self, cls, method, kwargs, missing):
        with pytest.raises(ValueError, match=f"^Missing required parameter: {missing}$"):
            getattr(cls(), method)(**kwargs)

    @pytest.mark.parametrize("cls", [m.OkxConnector, m.MexcConnector])
    def test_private_connectors_need_only_a_channel(self, cls):
        c = cls("k", "s", "p")
        with pytest.raises(ValueError, match="^Missing required parameter: channel$"):
            c.subscribe()
        c.subscribe(channel="orders")

    def test_unread_keywords_are_refused_by_every_call(self, capfd):
        okx, okx_private = m.OkxConnector(), m.OkxConnector("k", "s", "p")
        mexc, mexc_private = m.MexcConnector(), m.MexcConnector("", "k", "s")
        refused = [(okx, dict(channel="tickers", inst_id="BTC-USDT", extra=1.5, other=None), "extra"),
                   (okx, dict(channel="tickers", instId="BTC-USDT"), "instId"),
                   (okx_private, dict(channel="account", currency="BTC"), "currency"),
                   (mexc, dict(host="h", symbol="S", channel="c"), "channel"),
                   (mexc_private, dict(channel="c", symbol="S"), "symbol")]
        for c, kwargs, name in refused:
            for method in (c.subscribe, c.unsubscribe):
                with pytest.raises(TypeError, match=f"^Unknown keyword: {name}$"):
                    method(**kwargs)
        assert capfd.readouterr().out == ""  # nothing recorded, so no registry printed
        okx.subscribe(channel="tickers", inst_id="BTC-USDT")
        okx_private.subscribe(channel="account", ccy="BTC", extra_params='{"updateInterval":"0"}')
        assert capfd.readouterr().out == (
            "Channel: tickers, inst_id: BTC-USDT\n"
            'Channel: account, ccy: BTC, extra_params: {"updateInterval":"0"}\n')
        for c, method in ((m.OkxConnector(), "cancel_order"), (m.MexcConnector(), "place_order"),
                          (m.MexcConnector("", "k", "s"), "query_order")):
            with pytest.raises(TypeError, match="^Unknown keyword: instId$"):  # the first, in order
                getattr(c, method)(ord_id=1, instId="x", ord_type=None)
