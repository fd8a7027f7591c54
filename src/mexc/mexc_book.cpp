#include "mexc/mexc_book.hpp"

#include <stdexcept>
#include <string>

#include "core/book/json_levels.hpp"
#include "core/text/inbound_json.hpp"
#include "core/text/url_encode.hpp"
#include "mexc/protobuf_decoder.hpp"

namespace corvane::mexc {
namespace {

using book::BookPush;

class MexcSequenceRule final : public book::SequenceRule {
public:
    bool follows(std::int64_t last, const BookPush& push) const override {
        return push.first > 0 && push.first - 1 == last;
    }
    bool too_old(std::int64_t snapshot, const BookPush& first_kept) const override {
        return snapshot < first_kept.first;
    }
    bool covered(std::int64_t snapshot, const BookPush& push) const override {
        return push.last <= snapshot;
    }
    bool straddles(std::int64_t snapshot, const BookPush& push) const override {
        return push.first - 1 <= snapshot && snapshot < push.last;
    }
};

const MexcSequenceRule kRule;

constexpr std::uint32_t kChannel = 1;
constexpr std::uint32_t kSymbol = 3;
constexpr std::uint32_t kCreateTime = 5;
constexpr std::uint32_t kSendTime = 6;
constexpr std::uint32_t kLimitDepths = 303;
constexpr std::uint32_t kAggreDepths = 313;
constexpr std::uint32_t kAsks = 1;
constexpr std::uint32_t kBids = 2;
constexpr std::uint32_t kVersion = 4;  // limit depth's version, aggregated depth's fromVersion
constexpr std::uint32_t kToVersion = 5;
constexpr std::uint32_t kPrice = 1;
constexpr std::uint32_t kQuantity = 2;

// Takes the decoder's findings for the depth bodies; anything unreadable marks the frame bad.
class DepthBuilder final : public ProtoBuilder {
public:
    std::optional<BookPush> take() {
        if (bad || body == 0 || !first || (body == kAggreDepths && !last)) return std::nullopt;
        // The body must be the stream's own: a limit depth's whole book on the aggregated
        // stream would replace the book.
        const bool aggregated = channel.find("aggre.depth") != std::string_view::npos;
        if (aggregated != (body == kAggreDepths)) return std::nullopt;
        if (body == kAggreDepths) {
            if (*first > *last) return std::nullopt;
            push.first = *first;
            push.last = *last;
        } else {
            push.kind = BookPush::Kind::snapshot;
            push.last = *first;
        }
        push.ts = send_time != 0 ? send_time : create_time;
        return std::move(push);
    }

    void begin_message() override {
        ++depth;
        if (depth == 2 && body_key != kAggreDepths && body_key != kLimitDepths) bad = true;
        if (depth == 2) body = body_key;
        if (depth == 3) price = size = std::string_view();
    }
    void end_message() override {
        if (depth == 3 && !bad) take_level();
        --depth;
    }
    void key(const ProtoField& field) override { set_key(field.number); }
    void item(const ProtoField& field) override { set_key(field.number); }
    void number_key(std::uint32_t number) override { set_key(number); }  // a body unknown here
    void text(std::string_view value) override {
        if (depth == 1 && key_number == kChannel) channel = value;
        if (depth == 2 && (key_number == kVersion || key_number == kToVersion)) {
            const std::optional<std::int64_t> version = book::read_digits(value);
            if (!version) bad = true;
            (key_number == kVersion ? first : last) = version;
        } else if (depth == 3 && key_number == kPrice) {
            price = value;
        } else if (depth == 3 && key_number == kQuantity) {
            size = value;
        }
    }
    void bytes(std::string_view) override {}
    void integer(std::int64_t value) override {
        if (depth == 1 && key_number == kSendTime) send_time = value;
        if (depth == 1 && key_number == kCreateTime) create_time = value;
    }
    void boolean(bool) override {}

private:
    void set_key(std::uint32_t number) {
        key_number = number;
        if (depth == 1) body_key = number;
        if (depth == 2 && (number == kAsks || number == kBids)) side = number;
    }
    void take_level() {
        const std::optional<book::Level> level = book::read_level(price, size);
        if (!level || (side != kAsks && side != kBids)) {
            bad = true;
            return;
        }
        (side == kAsks ? push.asks : push.bids).push_back(*level);
    }

    BookPush push;
    int depth = 0;
    std::uint32_t key_number = 0;
    std::string_view channel;  // the wrapper's stream name
    std::uint32_t body_key = 0;
    std::uint32_t body = 0;
    std::uint32_t side = 0;
    std::string_view price;
    std::string_view size;
    std::optional<std::int64_t> first;
    std::optional<std::int64_t> last;
    std::int64_t send_time = 0;
    std::int64_t create_time = 0;
    bool bad = false;
};

}  // namespace

const book::SequenceRule& book_sequence_rule() {
    return kRule;
}

bool keeps_book(std::string_view stream, std::string_view symbol) {
    const std::string s(symbol);
    for (const char* speed : {"100ms", "10ms"}) {
        if (stream == "spot@public.aggre.depth.v3.api.pb@" + std::string(speed) + "@" + s) {
            return true;
        }
    }
    for (const char* levels : {"5", "10", "20"}) {
        if (stream == "spot@public.limit.depth.v3.api.pb@" + s + "@" + levels) return true;
    }
    return false;
}

namespace {

// One top-level protobuf field: its number, and its bytes when length-delimited. False at the
// end or for a malformed field.
bool next_field(std::string_view& rest, std::uint32_t& number, std::string_view& value) {
    auto varint = [&rest](std::uint64_t& out) {
        out = 0;
        for (int shift = 0; shift < 64 && !rest.empty(); shift += 7) {
            const auto byte = static_cast<unsigned char>(rest.front());
            rest.remove_prefix(1);
            out |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
            if (byte < 0x80) return true;
        }
        return false;
    };
    std::uint64_t key = 0, size = 0;
    if (rest.empty() || !varint(key)) return false;
    number = static_cast<std::uint32_t>(key >> 3);
    value = {};
    switch (key & 7) {
        case 0:
            return varint(size);
        case 1:
        case 5:
            size = (key & 7) == 1 ? 8 : 4;
            break;
        case 2:
            if (!varint(size)) return false;
            break;
        default:
            return false;
    }
    if (size > rest.size()) return false;
    value = rest.substr(0, size);
    rest.remove_prefix(size);
    return true;
}

}  // namespace

// Known by the wrapper's stream name and symbol alone: a depth push whose body cannot be read is
// still its book's (lost, so a gap), never a message for the program.
bool book_key(const InboundMessage& message, std::string_view& stream, std::string_view& symbol) {
    if (!message.binary) return false;
    std::string_view rest = message.payload;
    std::uint32_t number = 0;
    std::string_view value;
    bool named = false;
    symbol = {};
    while (next_field(rest, number, value)) {
        if (number == kChannel) {
            if (value.find("depth") == std::string_view::npos) return false;
            stream = value;
            named = true;
        } else if (number == kSymbol) {
            symbol = value;
        }
    }
    return named && !symbol.empty();
}

https::Request book_snapshot_request(const book::BookKey& key) {
    return https::Request{
        "GET", "/api/v3/depth?symbol=" + url_encode(key.instrument) + "&limit=5000", {}, {}};
}

std::optional<BookPush> read_depth_push(std::string_view frame) {
    DepthBuilder builder;
    try {
        decode_push(frame, builder);
    } catch (const std::invalid_argument&) {
        return std::nullopt;  // not a well-formed frame
    }
    return builder.take();
}

std::optional<BookPush> read_depth_snapshot(std::string_view text) {
    try {
        const nlohmann::json reply = parse_inbound_json(std::string(text));
        if (!reply.is_object()) return std::nullopt;
        const auto id = reply.find("lastUpdateId");
        const auto bids = reply.find("bids");
        const auto asks = reply.find("asks");
        if (id == reply.end() || bids == reply.end() || asks == reply.end()) return std::nullopt;
        BookPush snapshot;
        snapshot.kind = BookPush::Kind::snapshot;
        const std::optional<std::int64_t> version = book::read_integer(*id, 0);
        if (!version || !book::read_levels(*bids, snapshot.bids) ||
            !book::read_levels(*asks, snapshot.asks)) {
            return std::nullopt;
        }
        snapshot.last = *version;
        const auto time = reply.find("timestamp");
        if (time != reply.end()) {
            const std::optional<std::int64_t> ts = book::read_integer(*time, 0);
            if (!ts) return std::nullopt;
            snapshot.ts = *ts;
        }
        return snapshot;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

}  // namespace corvane::mexc
