#include "okx/okx_book.hpp"

#include <stdexcept>
#include <string>

#include "core/book/json_levels.hpp"
#include "core/text/inbound_json.hpp"
#include "core/text/url_encode.hpp"

namespace corvane::okx {
namespace {

using book::BookPush;

class OkxSequenceRule final : public book::SequenceRule {
public:
    // The unchanged book and the reset both name the last seqId as prevSeqId.
    bool follows(std::int64_t last, const BookPush& push) const override {
        return push.first == last;
    }
    bool too_old(std::int64_t snapshot, const BookPush& first_kept) const override {
        return snapshot < first_kept.first;
    }
    // A reset (seqId < prevSeqId) is never covered: its seqId says nothing of the snapshot.
    bool covered(std::int64_t snapshot, const BookPush& push) const override {
        return push.first <= push.last && push.last <= snapshot;
    }
    bool straddles(std::int64_t snapshot, const BookPush& push) const override {
        return push.first == snapshot || (push.first <= snapshot && snapshot < push.last);
    }
};

const OkxSequenceRule kRule;

// The one book of a reply's "data"; false when it is not there or not readable.
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

std::optional<std::int64_t> field(const nlohmann::json& entry, const char* name,
                                  std::int64_t minimum) {
    const auto it = entry.find(name);
    if (it == entry.end()) return std::nullopt;
    return book::read_integer(*it, minimum);
}

}  // namespace

const book::SequenceRule& book_sequence_rule() {
    return kRule;
}

bool keeps_book(std::string_view channel) {
    return channel == "books" || channel == "books-l2-tbt" || channel == "books50-l2-tbt" ||
           channel == "books5" || channel == "bbo-tbt";
}

// OKX writes {"arg":{"channel":"...","instId":"..."},...}: other forms are not taken for a push
// of a kept book (such a push would fail the sequence, and the book resync).
bool book_key(const InboundMessage& message, std::string_view& channel,
              std::string_view& instrument) {
    constexpr std::string_view kChannel = R"({"arg":{"channel":")";
    constexpr std::string_view kInstrument = R"(","instId":")";
    if (message.binary) return false;
    const std::string_view text = message.payload;
    if (text.compare(0, kChannel.size(), kChannel) != 0) return false;
    const auto channel_end = text.find('"', kChannel.size());
    if (channel_end == std::string_view::npos) return false;
    channel = text.substr(kChannel.size(), channel_end - kChannel.size());
    if (!keeps_book(channel) || text.compare(channel_end, kInstrument.size(), kInstrument) != 0) {
        return false;
    }
    const auto start = channel_end + kInstrument.size();
    const auto end = text.find('"', start);
    if (end == std::string_view::npos) return false;
    instrument = text.substr(start, end - start);
    return true;
}

https::Request book_snapshot_request(const book::BookKey& key) {
    const char* depth = key.channel == "books50-l2-tbt" ? "50" : "400";
    return https::Request{
        "GET", "/api/v5/market/books?instId=" + url_encode(key.instrument) + "&sz=" + depth, {}, {}};
}

std::optional<BookPush> read_book_snapshot(std::string_view text) {
    try {
        const nlohmann::json reply = parse_inbound_json(std::string(text));
        if (!reply.is_object()) return std::nullopt;
        const auto code = reply.find("code");
        const auto data = reply.find("data");
        if (code == reply.end() || *code != "0" || data == reply.end()) return std::nullopt;
        BookPush snapshot;
        snapshot.kind = BookPush::Kind::snapshot;
        if (!read_book(*data, snapshot)) return std::nullopt;
        const std::optional<std::int64_t> seq = field((*data)[0], "seqId", 0);
        if (!seq) return std::nullopt;
        snapshot.last = *seq;
        return snapshot;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

}  // namespace corvane::okx
