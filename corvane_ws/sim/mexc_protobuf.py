"""MEXC's protobuf stream messages, encoded by hand with the field numbers of MEXC's published
.proto files (PushDataV3ApiWrapper and its bodies). Every public message carries the
simulator's sequence number in the wrapper's createTime (field 5), so that a client can prove
nothing was lost or reordered; sendTime (field 6) is the time in milliseconds by the clock of the
gateway that sends it, so that the copies of one push on two connections differ there
(send_time)."""

from .feeds import now_ms


_SMALL = [bytes((n,)) for n in range(0x80)]  # one-byte varints, made once


def varint(value: int) -> bytes:
    if 0 <= value < 0x80:
        return _SMALL[value]
    out = bytearray()
    value &= (1 << 64) - 1  # negative int32/int64 values take ten bytes, as protobuf writes them
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def field(number: int, value: int | bool | str | bytes) -> bytes:
    if isinstance(value, (int, bool)):
        return varint(number << 3) + varint(int(value))
    data = value.encode() if isinstance(value, str) else value
    return varint(number << 3 | 2) + varint(len(data)) + data


def fields(*pairs: tuple[int, int | bool | str | bytes]) -> bytes:
    return b"".join(field(number, value) for number, value in pairs)


def wrapper(channel: str, body_field: int, body: bytes, symbol: str | None = None,
            create_time: int | None = None, stamped: bool = True) -> bytes:
    """PushDataV3ApiWrapper: 1 channel, 3 symbol, 5 createTime, 6 sendTime, the body. Unstamped,
    sendTime is left for send_time to append per connection."""
    out = field(1, channel)
    if symbol:
        out += field(3, symbol)
    if create_time is not None:
        out += field(5, create_time)
    return out + (field(6, now_ms()) if stamped else b"") + field(body_field, body)


def send_time(message: bytes, skew_ms: int) -> bytes:
    """An unstamped wrapper with its sendTime: a gateway's clock, `skew_ms` off (protobuf takes
    fields in any order)."""
    return message + field(6, now_ms() + skew_ms)


# ---- public bodies, one per stream (the wrapper field in brackets) ----

def aggre_deals(channel: str, seq: int, price: float) -> bytes:  # [314] 1 deals, 2 eventType
    deal = fields((1, f"{price:.2f}"), (2, "0.01"), (3, 1 + seq % 2), (4, now_ms()), (5, str(seq)))
    return fields((1, deal), (2, channel.rsplit("@", 1)[0]))


def kline(interval: str, seq: int, price: float) -> bytes:  # [308] SpotKline
    start = now_ms() // 60000 * 60
    return fields((1, interval), (2, start), (3, f"{price:.2f}"), (4, f"{price:.2f}"),
                  (5, f"{price + 5:.2f}"), (6, f"{price - 5:.2f}"), (7, f"{seq}.0"),
                  (8, f"{seq * price:.2f}"), (9, start + 60))


def depth_items(levels: list[tuple[str, str, int]]) -> list[bytes]:  # 1 price, 2 quantity
    return [fields((1, price), (2, quantity)) for price, quantity, _ in levels]


def aggre_depth(channel: str, asks: list, bids: list, from_version: str,
                to_version: str) -> bytes:  # [313] AggreDepths
    return (b"".join(field(1, a) for a in depth_items(asks))
            + b"".join(field(2, b) for b in depth_items(bids))
            + fields((3, channel.rsplit("@", 1)[0]), (4, from_version), (5, to_version),
                     (6, now_ms())))


def limit_depth(channel: str, asks: list, bids: list, version: str) -> bytes:  # [303]
    return (b"".join(field(1, a) for a in depth_items(asks))
            + b"".join(field(2, b) for b in depth_items(bids))
            + fields((3, channel.rsplit("@", 2)[0]), (4, version), (5, now_ms())))


def book_ticker(price: float) -> bytes:  # BookTicker: 1 bidPrice .. 4 askQuantity
    return fields((1, f"{price - 0.1:.2f}"), (2, "0.80"), (3, f"{price + 0.1:.2f}"), (4, "1.20"))


def aggre_book_ticker(seq: int, price: float) -> bytes:  # [315] + 5 version, 6 lastOrderCreateTime
    return book_ticker(price) + fields((5, str(seq)), (6, now_ms()))


def book_ticker_batch(seq: int, price: float) -> bytes:  # [311] 1 items, 2 version
    return fields((1, book_ticker(price)), (2, str(seq)), (3, now_ms()))


def mini_ticker(symbol: str, price: float) -> bytes:  # [309] MiniTicker, fields 1 to 12
    px = f"{price:.2f}"
    return fields((1, symbol), (2, px), (3, "0.0012"), (4, "0.0010"), (5, f"{price + 50:.2f}"),
                  (6, f"{price - 50:.2f}"), (7, "1000.5"), (8, "0.25"), (9, "0.0011"),
                  (10, "0.0009"), (11, px), (12, px))


def mini_tickers(price: float) -> bytes:  # [310] 1 items
    return b"".join(field(1, mini_ticker(s, price)) for s in ("BTCUSDT", "ETHUSDT"))


# ---- private bodies ----

ORDER_TYPES = {"LIMIT": 1, "LIMIT_MAKER": 2, "IMMEDIATE_OR_CANCEL": 3, "FILL_OR_KILL": 4,
               "MARKET": 5}
ORDER_STATUS = {"NEW": 1, "FILLED": 2, "PARTIALLY_FILLED": 3, "CANCELED": 4}


def private_order(order: dict) -> bytes:  # [304] PrivateOrders
    quantity, price = order["origQty"], order["price"] or "0"
    return fields((1, order["orderId"]), (2, order.get("clientOrderId", "")), (3, price),
                  (4, quantity), (5, f"{float(price) * float(quantity):.8f}"), (6, "0"),
                  (7, ORDER_TYPES[order["type"]]), (8, 1 if order["side"] == "BUY" else 2),
                  (9, False), (10, f"{float(price) * float(quantity):.8f}"), (11, quantity),
                  (13, "0"), (14, "0"), (15, ORDER_STATUS[order["status"]]),
                  (16, order["transactTime"]))


def private_account(asset: str, frozen_change: str) -> bytes:  # [307] PrivateAccount
    return fields((1, asset), (2, asset.lower()), (3, "10000"), (4, "0"), (5, "100"),
                  (6, frozen_change), (7, "ENTRUST_PLACE"), (8, now_ms()))
