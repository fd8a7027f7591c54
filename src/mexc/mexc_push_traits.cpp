#include "mexc/mexc_push_traits.hpp"

#include <charconv>
#include <functional>

namespace corvane::mexc {
namespace {

constexpr std::uint32_t kSendTime = 6;
constexpr std::uint32_t kAggreDepths = 313;
constexpr std::uint32_t kLimitDepths = 303;

// One field of a protobuf message: its number, and its bytes (a length-delimited value's
// content, or a varint's encoding).
struct Field {
    std::uint32_t number = 0;
    std::uint32_t wire = 0;
    std::string_view value;
    std::string_view whole;  // the field with its tag
};

class Fields {
public:
    explicit Fields(std::string_view data) : data(data) {}
    // False at the end, or at bytes that are not protobuf (the scan stops there).
    bool next(Field& out) {
        const std::size_t start = at;
        std::uint64_t tag = 0;
        if (at >= data.size() || !varint(tag)) return false;
        out.number = static_cast<std::uint32_t>(tag >> 3);
        out.wire = static_cast<std::uint32_t>(tag & 7);
        const std::size_t value_at = at;
        std::uint64_t length = 0;
        if (out.wire == 0) {
            if (!varint(length)) return false;
            out.value = data.substr(value_at, at - value_at);
        } else if (out.wire == 2) {
            if (!varint(length) || length > data.size() - at) return false;
            out.value = data.substr(at, length);
            at += length;
        } else {
            return false;
        }
        out.whole = data.substr(start, at - start);
        return true;
    }

private:
    bool varint(std::uint64_t& value) {
        value = 0;
        for (int shift = 0; shift < 64 && at < data.size(); shift += 7) {
            const auto byte = static_cast<std::uint8_t>(data[at++]);
            value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
            if (byte < 0x80) return true;
        }
        return false;
    }
    std::string_view data;
    std::size_t at = 0;
};

bool number_text(std::string_view text, std::int64_t& out) {
    const auto result = std::from_chars(text.data(), text.data() + text.size(), out);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

PushIdentity identity(const InboundMessage& message) {
    if (!message.binary) return {};
    Fields fields(message.payload);
    Field field;
    PushIdentity out{0xcbf29ce484222325ULL, 0};
    bool any = false;
    while (fields.next(field)) {
        if (field.number == kSendTime) continue;
        if (field.number == 1) out.channel = std::hash<std::string_view>()(field.value);
        out.push = (out.push ^ std::hash<std::string_view>()(field.whole)) * 0x100000001b3ULL;
        any = true;
    }
    if (!any) return {};
    out.push |= 1;
    return out;
}

bool depth_body(std::string_view body, std::uint32_t kind, SequencePoint& point) {
    Fields fields(body);
    Field field;
    bool first = false, last = false;
    while (fields.next(field)) {
        if (field.wire != 2) continue;
        if (kind == kAggreDepths && field.number == 4) {
            first = number_text(field.value, point.first);
        }
        if (kind == kAggreDepths && field.number == 5) {
            last = number_text(field.value, point.last);
        }
        if (kind == kLimitDepths && field.number == 4) {
            first = last = number_text(field.value, point.last);
            point.first = point.last;
        }
    }
    point.rule = kind == kAggreDepths ? SequencePoint::Rule::consecutive
                                      : SequencePoint::Rule::increasing;
    return first && last;
}

bool sequence(const InboundMessage& message, SequencePoint& point) {
    if (!message.binary) return false;
    Fields fields(message.payload);
    Field field;
    // The channel comes first: pushes of other streams are passed over without a further scan.
    if (!fields.next(field) || field.number != 1 ||
        field.value.find("depth") == std::string_view::npos) {
        return false;
    }
    point.channel = field.value;
    point.instrument = {};
    while (fields.next(field)) {
        if (field.number == 3 && field.wire == 2) point.instrument = field.value;
        if (field.number == kAggreDepths || field.number == kLimitDepths) {
            return field.wire == 2 && depth_body(field.value, field.number, point);
        }
    }
    return false;
}

}  // namespace

const PushTraits& push_traits() {
    static const PushTraits traits{identity, sequence};
    return traits;
}

}  // namespace corvane::mexc
