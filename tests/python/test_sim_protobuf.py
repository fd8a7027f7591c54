"""The simulator's MEXC pushes, read by the protobuf package itself: each message is built again
with google.protobuf from MEXC's published field numbers (declared here, not taken from the
simulator or the client), and the simulator's bytes must parse to exactly that message, with no
field protobuf does not know. A field number or wire type shared wrongly by the simulator and the
client's decoder would pass every end-to-end test; it does not pass this one."""

import pytest

pytest.importorskip("google.protobuf")

from google.protobuf import descriptor_pb2, descriptor_pool, message_factory  # noqa: E402
from google.protobuf.unknown_fields import UnknownFieldSet  # noqa: E402

from corvane_ws.sim import mexc, mexc_protobuf as pb  # noqa: E402
from corvane_ws.sim.mexc_rules import parse_stream  # noqa: E402

NOW_MS = 1765270800123  # every time the simulator stamps, fixed for the comparison

F = descriptor_pb2.FieldDescriptorProto
S, I32, I64, B = F.TYPE_STRING, F.TYPE_INT32, F.TYPE_INT64, F.TYPE_BOOL


def strings(*names):
    return [(n + 1, name, S) for n, name in enumerate(names)]


# github.com/mexcdevelop/websocket-proto, the messages the simulator sends. A type given by name
# is a message; "repeated " before it makes the field repeated.
MESSAGES = {
    "Deal": strings("price", "quantity") + [(3, "tradeType", I32), (4, "time", I64),
                                            (5, "tradeId", S)],
    "AggreDeals": [(1, "deals", "repeated Deal"), (2, "eventType", S)],
    "DepthItem": strings("price", "quantity"),
    "AggreDepths": [(1, "asks", "repeated DepthItem"), (2, "bids", "repeated DepthItem"),
                    (3, "eventType", S), (4, "fromVersion", S), (5, "toVersion", S),
                    (6, "lastOrderCreateTime", I64)],
    "LimitDepths": [(1, "asks", "repeated DepthItem"), (2, "bids", "repeated DepthItem"),
                    (3, "eventType", S), (4, "version", S), (5, "lastOrderCreateTime", I64)],
    "BookTicker": strings("bidPrice", "bidQuantity", "askPrice", "askQuantity"),
    "AggreBookTicker": strings("bidPrice", "bidQuantity", "askPrice", "askQuantity", "version")
    + [(6, "lastOrderCreateTime", I64)],
    "BookTickerBatch": [(1, "items", "repeated BookTicker"), (2, "version", S),
                        (3, "lastOrderCreateTime", I64)],
    "SpotKline": [(1, "interval", S), (2, "windowStart", I64)]
    + [(n, name, S) for n, name in enumerate(
        ("openingPrice", "closingPrice", "highestPrice", "lowestPrice", "volume", "amount"), 3)]
    + [(9, "windowEnd", I64)],
    "MiniTicker": strings("symbol", "price", "rate", "zonedRate", "high", "low", "volume",
                          "quantity", "lastCloseRate", "lastCloseZonedRate", "lastCloseHigh",
                          "lastCloseLow"),
    "MiniTickers": [(1, "items", "repeated MiniTicker")],
    "PrivateOrders": strings("id", "clientId", "price", "quantity", "amount", "avgPrice")
    + [(7, "orderType", I32), (8, "tradeType", I32), (9, "isMaker", B),
       (10, "remainAmount", S), (11, "remainQuantity", S), (12, "lastDealQuantity", S),
       (13, "cumulativeQuantity", S), (14, "cumulativeAmount", S), (15, "status", I32),
       (16, "createTime", I64)],
    "PrivateAccount": strings("vcoinName", "coinId", "balanceAmount", "balanceAmountChange",
                              "frozenAmount", "frozenAmountChange", "type")
    + [(8, "time", I64)],
}
BODIES = {303: ("publicLimitDepths", "LimitDepths"), 304: ("privateOrders", "PrivateOrders"),
          307: ("privateAccount", "PrivateAccount"), 308: ("publicSpotKline", "SpotKline"),
          309: ("publicMiniTicker", "MiniTicker"), 310: ("publicMiniTickers", "MiniTickers"),
          311: ("publicBookTickerBatch", "BookTickerBatch"),
          313: ("publicAggreDepths", "AggreDepths"), 314: ("publicAggreDeals", "AggreDeals"),
          315: ("publicAggreBookTicker", "AggreBookTicker")}


def _add_field(message, number, name, kind, oneof=None):
    added = message.field.add(name=name, number=number, label=F.LABEL_OPTIONAL)
    if isinstance(kind, str):
        if kind.startswith("repeated "):
            added.label, kind = F.LABEL_REPEATED, kind.removeprefix("repeated ")
        added.type, added.type_name = F.TYPE_MESSAGE, ".mexc." + kind
    else:
        added.type = kind
    if oneof is not None:
        added.oneof_index = oneof
    return added


def _classes():
    file = descriptor_pb2.FileDescriptorProto(name="mexc_push_check.proto", package="mexc",
                                              syntax="proto3")
    for name, fields in MESSAGES.items():
        message = file.message_type.add(name=name)
        for number, field_name, kind in fields:
            _add_field(message, number, field_name, kind)
    wrapper = file.message_type.add(name="PushDataV3ApiWrapper")
    _add_field(wrapper, 1, "channel", S)
    wrapper.oneof_decl.add(name="body")
    # The optional scalars of the wrapper, each in a oneof of its own as proto3 writes them.
    for number, name, kind in ((3, "symbol", S), (4, "symbolId", S), (5, "createTime", I64),
                               (6, "sendTime", I64)):
        index = len(wrapper.oneof_decl)
        wrapper.oneof_decl.add(name="_" + name)
        _add_field(wrapper, number, name, kind, index).proto3_optional = True
    for number, (name, kind) in BODIES.items():
        _add_field(wrapper, number, name, kind, 0)
    pool = descriptor_pool.DescriptorPool()
    pool.Add(file)
    return {name: message_factory.GetMessageClass(pool.FindMessageTypeByName("mexc." + name))
            for name in [*MESSAGES, "PushDataV3ApiWrapper"]}


PB = _classes()


def wrapper(channel, body_number, body, symbol=None, create_time=None, send_time=NOW_MS):
    message = PB["PushDataV3ApiWrapper"](channel=channel, sendTime=send_time)
    if symbol is not None:
        message.symbol = symbol
    if create_time is not None:
        message.createTime = create_time
    getattr(message, BODIES[body_number][0]).CopyFrom(body)
    return message


def unknown_fields(message, path="message"):
    """Where protobuf met a field number or wire type the declared messages do not have."""
    found = [f"{path}: field {f.field_number} (wire type {f.wire_type})"
             for f in UnknownFieldSet(message)]
    for descriptor, value in message.ListFields():
        if descriptor.type == F.TYPE_MESSAGE:
            values = value if descriptor.is_repeated else [value]
            for n, item in enumerate(values):
                found += unknown_fields(item, f"{path}.{descriptor.name}[{n}]")
    return found


@pytest.fixture(autouse=True)
def fixed_clock(monkeypatch):
    monkeypatch.setattr(pb, "now_ms", lambda: NOW_MS)


def check(sent: bytes, expected):
    parsed = PB["PushDataV3ApiWrapper"].FromString(sent)
    assert unknown_fields(parsed) == []
    assert parsed == expected
    # The encoding protobuf itself gives the same message parses back to what was sent.
    assert PB["PushDataV3ApiWrapper"].FromString(expected.SerializeToString()) == parsed


def ticker(price):
    return dict(bidPrice=f"{price - 0.1:.2f}", bidQuantity="0.80", askPrice=f"{price + 0.1:.2f}",
                askQuantity="1.20")


def mini(symbol, price):
    px = f"{price:.2f}"
    return PB["MiniTicker"](symbol=symbol, price=px, rate="0.0012", zonedRate="0.0010",
                            high=f"{price + 50:.2f}", low=f"{price - 50:.2f}", volume="1000.5",
                            quantity="0.25", lastCloseRate="0.0011", lastCloseZonedRate="0.0009",
                            lastCloseHigh=px, lastCloseLow=px)


PRICE = 64123.5
SEQ = 3  # odd and even sequences differ in the deal's side
START_S = NOW_MS // 60000 * 60


def public_expected(name, seq):
    """What each public stream's message holds, by MEXC's field names."""
    prefix1 = name.rsplit("@", 1)[0]
    return {
        "spot@public.aggre.deals.v3.api.pb@100ms@BTCUSDT": (314, PB["AggreDeals"](
            deals=[PB["Deal"](price=f"{PRICE:.2f}", quantity="0.01", tradeType=1 + seq % 2,
                              time=NOW_MS, tradeId=str(seq))], eventType=prefix1)),
        "spot@public.kline.v3.api.pb@BTCUSDT@Min1": (308, PB["SpotKline"](
            interval="Min1", windowStart=START_S, openingPrice=f"{PRICE:.2f}",
            closingPrice=f"{PRICE:.2f}", highestPrice=f"{PRICE + 5:.2f}",
            lowestPrice=f"{PRICE - 5:.2f}", volume=f"{seq}.0", amount=f"{seq * PRICE:.2f}",
            windowEnd=START_S + 60)),
        "spot@public.aggre.bookTicker.v3.api.pb@100ms@BTCUSDT": (315, PB["AggreBookTicker"](
            **ticker(PRICE), version=str(seq), lastOrderCreateTime=NOW_MS)),
        "spot@public.bookTicker.batch.v3.api.pb@BTCUSDT": (311, PB["BookTickerBatch"](
            items=[PB["BookTicker"](**ticker(PRICE))], version=str(seq),
            lastOrderCreateTime=NOW_MS)),
        "spot@public.miniTicker.v3.api.pb@BTCUSDT@UTC+8": (309, mini("BTCUSDT", PRICE)),
        "spot@public.miniTickers.v3.api.pb@UTC+0": (310, PB["MiniTickers"](
            items=[mini("BTCUSDT", PRICE), mini("ETHUSDT", PRICE)])),
    }[name]


PUBLIC = ["spot@public.aggre.deals.v3.api.pb@100ms@BTCUSDT",
          "spot@public.kline.v3.api.pb@BTCUSDT@Min1",
          "spot@public.aggre.bookTicker.v3.api.pb@100ms@BTCUSDT",
          "spot@public.bookTicker.batch.v3.api.pb@BTCUSDT",
          "spot@public.miniTicker.v3.api.pb@BTCUSDT@UTC+8",
          "spot@public.miniTickers.v3.api.pb@UTC+0"]


@pytest.mark.parametrize("seq", [SEQ, SEQ + 1])
@pytest.mark.parametrize("name", PUBLIC)
def test_public_push_is_the_message_protobuf_builds(name, seq):
    stream = parse_stream(name, private=False)
    assert stream is not None
    body_number, body = public_expected(name, seq)
    assert stream.body == body_number
    # As a connection sends it: the gateway's sendTime appended after the body.
    sent = pb.send_time(mexc.public_message(stream, seq, PRICE), 2)
    check(sent, wrapper(name, body_number, body, stream.groups.get("symbol"), create_time=seq,
                        send_time=NOW_MS + 2))


ASKS = [("64123.5", "0.25", 3), ("64123.6", "0", 0)]  # a size of 0 removes the level
BIDS = [("64123.4", "1.5", 1)]


def depth_items(levels):
    return [PB["DepthItem"](price=price, quantity=quantity) for price, quantity, _ in levels]


@pytest.mark.parametrize("name", ["spot@public.aggre.depth.v3.api.pb@10ms@BTCUSDT",
                                  "spot@public.limit.depth.v3.api.pb@BTCUSDT@5"])
def test_depth_push_is_the_message_protobuf_builds(name):
    stream = parse_stream(name, private=False)
    assert stream is not None
    if stream.body == 313:
        sent = pb.aggre_depth(name, ASKS, BIDS, "41", "43")
        body = PB["AggreDepths"](asks=depth_items(ASKS), bids=depth_items(BIDS),
                                 eventType=name.rsplit("@", 1)[0], fromVersion="41",
                                 toVersion="43", lastOrderCreateTime=NOW_MS)
    else:
        sent = pb.limit_depth(name, ASKS, BIDS, "43")
        body = PB["LimitDepths"](asks=depth_items(ASKS), bids=depth_items(BIDS),
                                 eventType=name.rsplit("@", 2)[0], version="43",
                                 lastOrderCreateTime=NOW_MS)
    message = pb.wrapper(name, stream.body, sent, "BTCUSDT", create_time=SEQ)
    check(message, wrapper(name, stream.body, body, "BTCUSDT", create_time=SEQ))


ORDER = {"symbol": "BTCUSDT", "orderId": "C02__7", "clientOrderId": "mine-1", "price": "0.5",
         "origQty": "2", "type": "IMMEDIATE_OR_CANCEL", "side": "SELL", "transactTime": NOW_MS - 5,
         "status": "CANCELED"}


def test_private_order_push_is_the_message_protobuf_builds():
    sent = pb.wrapper("spot@private.orders.v3.api.pb", 304, pb.private_order(ORDER), "BTCUSDT")
    body = PB["PrivateOrders"](id="C02__7", clientId="mine-1", price="0.5", quantity="2",
                               amount="1.00000000", avgPrice="0", orderType=3, tradeType=2,
                               isMaker=False, remainAmount="1.00000000", remainQuantity="2",
                               cumulativeQuantity="0", cumulativeAmount="0", status=4,
                               createTime=NOW_MS - 5)
    check(sent, wrapper("spot@private.orders.v3.api.pb", 304, body, "BTCUSDT"))


def test_private_account_push_is_the_message_protobuf_builds():
    sent = pb.wrapper("spot@private.account.v3.api.pb", 307, pb.private_account("USDT", "-2"))
    body = PB["PrivateAccount"](vcoinName="USDT", coinId="usdt", balanceAmount="10000",
                                balanceAmountChange="0", frozenAmount="100",
                                frozenAmountChange="-2", type="ENTRUST_PLACE", time=NOW_MS)
    check(sent, wrapper("spot@private.account.v3.api.pb", 307, body))


def test_wide_and_negative_integers_are_encoded_as_protobuf_does():
    # int64 times past 2**32, and negative values in ten bytes, as protobuf writes them.
    for value in (1, 127, 128, 2**31, NOW_MS, 2**63 - 1, -1, -(2**31)):
        assert pb.field(4, value) == PB["Deal"](time=value).SerializeToString(), value
    assert pb.field(3, -2) == PB["Deal"](tradeType=-2).SerializeToString()
