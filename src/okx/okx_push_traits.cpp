#include "okx/okx_push_traits.hpp"

#include <charconv>
#include <functional>

namespace corvane::okx {
namespace {

constexpr std::string_view kArg = R"({"arg":{)";

// The text of a string member `"name":"..."` within `text`, or empty.
std::string_view string_member(std::string_view text, std::string_view quoted_name) {
    const auto at = text.find(quoted_name);
    if (at == std::string_view::npos) return {};
    auto start = at + quoted_name.size();
    if (start + 1 >= text.size() || text[start] != ':' || text[start + 1] != '"') return {};
    start += 2;
    const auto end = text.find('"', start);
    return end == std::string_view::npos ? std::string_view{} : text.substr(start, end - start);
}

// A number member `"name":123` or `"name":"123"`; false when absent or not a number.
bool number_member(std::string_view text, std::string_view quoted_name, std::int64_t& out) {
    const auto at = text.find(quoted_name);
    if (at == std::string_view::npos) return false;
    auto start = at + quoted_name.size();
    if (start >= text.size() || text[start] != ':') return false;
    ++start;
    if (start < text.size() && text[start] == '"') ++start;
    const auto result = std::from_chars(text.data() + start, text.data() + text.size(), out);
    return result.ec == std::errc();
}

// A member `"name":value` of the first data item, up to the next comma or brace; empty if none.
std::string_view member(std::string_view data, std::string_view quoted_name) {
    const auto at = data.find(quoted_name);
    if (at == std::string_view::npos) return {};
    const auto end = data.find_first_of(",}", at);
    return data.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
}

// The push's "arg" object, braces included; empty when the message is not a push.
std::string_view arg_of(std::string_view text) {
    if (text.compare(0, kArg.size(), kArg) != 0) return {};
    const auto end = text.find('}', kArg.size());
    return end == std::string_view::npos ? std::string_view{} : text.substr(7, end - 6);
}

PushIdentity identity(const InboundMessage& message) {
    if (message.binary) return {};
    const std::string_view text = message.payload;
    const std::string_view arg = arg_of(text);
    if (arg.empty()) return {};
    const std::string_view data = text.substr(kArg.size() + arg.size() - 1);
    std::string_view id;
    // An order's update is its order and its update time (its tradeId is empty until a fill).
    if (const auto order = member(data, R"("ordId")"); !order.empty()) {
        const auto update = member(data, R"("uTime")");
        id = update.empty() ? std::string_view{} : data.substr(order.data() - data.data(),
                                                             update.end() - order.begin());
    } else {
        for (const std::string_view name : {R"("seqId")", R"("tradeId")", R"("ts")"}) {
            id = member(data, name);
            if (!id.empty()) break;
        }
    }
    if (id.empty()) return {};
    const std::uint64_t channel = std::hash<std::string_view>()(arg);
    const std::uint64_t push =
        (channel * 0x9e3779b97f4a7c15ULL) ^ std::hash<std::string_view>()(id);
    return {push | 1, channel};  // never 0
}

// books, books-elp, books-l2-tbt, books50-l2-tbt carry prevSeqId; books5 and bbo-tbt do not.
bool sequence(const InboundMessage& message, SequencePoint& point) {
    if (message.binary) return false;
    const std::string_view text = message.payload;
    if (text.compare(0, 24, R"({"arg":{"channel":"books)") != 0) return false;
    const std::string_view arg = arg_of(text);
    point.channel = string_member(arg, R"("channel")");
    if (point.channel == "books5") return false;
    point.instrument = string_member(arg, R"("instId")");
    const std::string_view data = text.substr(kArg.size() + arg.size() - 1);
    point.rule = SequencePoint::Rule::linked;
    return number_member(data, R"("prevSeqId")", point.first) &&
           number_member(data, R"("seqId")", point.last);
}

}  // namespace

const PushTraits& push_traits() {
    static const PushTraits traits{identity, sequence};
    return traits;
}

}  // namespace corvane::okx
