#include "okx/okx_book_reference.hpp"

#include <stdexcept>
#include <string>

#include "core/book/json_levels.hpp"
#include "core/text/inbound_json.hpp"

namespace corvane::okx::reference {
namespace {

using book::BookPush;

std::optional<std::int64_t> field(const nlohmann::json& entry, const char* name,
                                  std::int64_t minimum) {
    const auto it = entry.find(name);
    if (it == entry.end()) return std::nullopt;
    return book::read_integer(*it, minimum);
}

bool read_book(const nlohmann::json& data, BookPush& out) {
    if (!data.is_array() || data.size() != 1 || !data[0].is_object()) return false;
    const nlohmann::json& entry = data[0];
    const auto asks = entry.find("asks");
    const auto bids = entry.find("bids");
    if (asks == entry.end() || bids == entry.end()) return false;
    if (!book::read_levels(*asks, out.asks) || !book::read_levels(*bids, out.bids)) return false;
    const auto ts = entry.find("ts");
    if (ts != entry.end()) {
        const std::optional<std::int64_t> time = book::read_integer(*ts, 0);
        if (!time) return false;
        out.ts = *time;
    }
    return true;
}

std::optional<BookPush> read_push(const nlohmann::json& message) {
    const auto arg = message.find("arg");
    const auto data = message.find("data");
    if (arg == message.end() || !arg->is_object() || data == message.end()) return std::nullopt;
    const auto channel = arg->find("channel");
    if (channel == arg->end() || !channel->is_string()) return std::nullopt;
    BookPush push;
    if (!read_book(*data, push)) return std::nullopt;
    const nlohmann::json& entry = (*data)[0];
    const std::string& name = channel->get_ref<const std::string&>();
    if (name == "books5" || name == "bbo-tbt") {
        push.kind = BookPush::Kind::snapshot;
        if (entry.contains("seqId")) {
            const std::optional<std::int64_t> seq = field(entry, "seqId", 0);
            if (!seq) return std::nullopt;
            push.last = *seq;
        }
        return push;
    }
    const std::optional<std::int64_t> seq = field(entry, "seqId", 0);
    const std::optional<std::int64_t> prev = field(entry, "prevSeqId", -1);
    if (!seq || !prev) return std::nullopt;
    push.first = *prev;
    push.last = *seq;
    const auto action = message.find("action");
    const bool snapshot_action =
        action != message.end() && action->is_string() && *action == "snapshot";
    if (*prev == -1 || snapshot_action) push.kind = BookPush::Kind::snapshot;
    return push;
}

}  // namespace

std::optional<BookPush> read_book_push(std::string_view text) {
    try {
        const nlohmann::json message = parse_inbound_json(std::string(text));
        if (!message.is_object()) return std::nullopt;
        return read_push(message);
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

}  // namespace corvane::okx::reference
