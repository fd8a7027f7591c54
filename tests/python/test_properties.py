"""Property tests: whatever a caller passes, the result is the documented text or the documented
exception, never a crash; floats and ints read back exactly; hostile URLs and credentials are
handled safely."""

import json
import math
import threading
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _corvane_ws_module as m
from conftest import make_sim, read
from corvane_ws.sim import ExchangeCredentials

SETTINGS = settings(max_examples=300, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])


@pytest.fixture(scope="module")
def wire(certificates):
    """A connected OKX connector whose cancel requests show, in "id", the text of msg_id."""
    with make_sim(certificates) as sim:
        c = m.OkxConnector()
        c.connect(sim.sim.url("/raw"))
        conn = sim.wait_connection(1)
        sim.send(conn, "opened")
        assert read(c, 1) == ["opened"]
        lock = threading.Lock()

        def sent_text(value):
            with lock:
                before = len(sim.frames(conn))
                c.cancel_order(msg_id=value, ord_id="o", inst_id="i", inst_id_code=1)
                return json.loads(sim.wait_frames(conn, before + 1)[before])["id"]

        yield sent_text
        c.disconnect()


ANY_VALUE = st.one_of(
    st.text(), st.integers(), st.floats(), st.booleans(), st.binary(), st.none(),
    st.lists(st.integers(), max_size=3), st.dictionaries(st.text(max_size=3), st.integers(), max_size=2),
    st.decimals(allow_nan=False), st.fractions(), st.complex_numbers(), st.tuples(st.integers()),
)


@SETTINGS
@given(value=ANY_VALUE)
def test_any_value_gives_text_or_a_documented_error(wire, value):
    try:
        text = wire(value)
    except TypeError as e:
        assert str(e) in ("Unsupported type for argument 'msg_id'", "Invalid type for argument 'msg_id'")
        if str(e).startswith("Unsupported"):
            assert not isinstance(value, (str, int, float))
        else:
            assert isinstance(value, (str, int)) and not isinstance(value, bool)
        return
    except ValueError as e:
        assert value is None and str(e) == "Missing required parameter: msg_id"
        return
    assert isinstance(text, str)
    if isinstance(value, bool):
        assert text == str(int(value))
    elif isinstance(value, int):
        assert int(text) == value and -2**31 <= value < 2**31
    elif isinstance(value, float):
        if math.isfinite(value):
            assert "e" not in text and float(text) == value
            assert math.copysign(1, float(text)) == math.copysign(1, value)
        else:
            assert text in ("inf", "-inf", "nan", "-nan")
    else:
        assert isinstance(value, str) and text == value


@SETTINGS
@given(value=st.floats(allow_nan=False, allow_infinity=False))
def test_floats_read_back_exactly_and_keep_printf_text_when_they_can(wire, value):
    text = wire(value)
    assert float(text) == value
    printf = "%f" % value
    if float(printf) == value:
        assert text == printf


@SETTINGS
@given(url=st.text().filter(lambda t: "://" not in t))
def test_text_that_is_no_url_is_refused(url):
    c = m.MexcConnector()
    with pytest.raises(RuntimeError, match="^Connection failed: invalid uri$"):
        c.connect(url)
    with pytest.raises(RuntimeError, match="^No more messages$"):
        next(c.wsrun())


@pytest.mark.parametrize("url", ["wss://", "wss://:443/", "wss://[::1/", "wss://localhost:99999/ws",
                                 "wss://local host/ws", "ws://\x00/", "wss://localhost:-1/"])
def test_malformed_urls_never_hang(url):
    c = m.OkxConnector()
    try:
        c.connect(url)
    except RuntimeError as e:
        assert str(e).startswith("Connection failed: ")
    guard = threading.Timer(10, c.disconnect)
    guard.start()
    try:
        with pytest.raises(RuntimeError, match="^No more messages$"):
            while True:
                next(c.wsrun())
    finally:
        guard.cancel()
        guard.join()


def test_credentials_with_control_characters_sign_correctly(certificates):
    creds = ExchangeCredentials('k"e\\y\r\n\x00\x01é', "s\x00e\r\nc\"ret\\", "p\ta\x7fss")
    with make_sim(certificates, okx_credentials=creds) as sim:
        c = m.OkxConnector(creds.api_key, creds.secret, creds.passphrase)
        c.connect(sim.sim.url("/ws/v5/private"))
        reply = json.loads(read(c, 1)[0])
        assert (reply["event"], reply["code"]) == ("login", "0")
        frame = sim.frames(sim.wait_connection(1))[0]
        assert "\r" not in frame and "\x00" not in frame  # escaped inside the JSON text
        assert json.loads(frame)["args"][0]["apiKey"] == creds.api_key
