#pragma once
// A benchmark message: OKX-shaped JSON of an exact size whose sequence number and send time
// (nanoseconds of Unix time) sit in fixed-width, space-padded fields at fixed offsets, so that
// a sender patches digits in place and a reader finds them without parsing.

#include <cstdint>
#include <cstring>
#include <string>

namespace corvane::bench {

constexpr std::size_t kSeqWidth = 12;
constexpr std::size_t kTsWidth = 20;

class PayloadTemplate {
public:
    explicit PayloadTemplate(std::size_t size) {
        const std::string head =
            R"({"arg":{"channel":"books","instId":"BTC-USDT"},"action":"update","data":[{"seqId":)";
        const std::string mid = R"(,"ts":)";
        std::string body = head + std::string(kSeqWidth, ' ') + mid + std::string(kTsWidth, ' ');
        seq_at = head.size();
        ts_at = seq_at + kSeqWidth + mid.size();
        const std::string tail = R"(,"checksum":-1}]})";
        std::string asks = R"(,"asks":[)", bids = R"(],"bids":[)";
        std::string levels_a, levels_b;
        // Add price levels while they fit, then pad to the exact size.
        for (int i = 0;; ++i) {
            const std::string a = (i ? "," : "") + level(43000.1 + i * 0.1);
            const std::string b = (i ? "," : "") + level(42999.9 - i * 0.1);
            const std::size_t would = body.size() + asks.size() + levels_a.size() + a.size() +
                                      bids.size() + levels_b.size() + b.size() + 2 +
                                      std::strlen(R"(,"pad":"")") + tail.size();
            if (would > size) break;
            levels_a += a;
            levels_b += b;
        }
        body += asks + levels_a + bids + levels_b + "]";
        const std::size_t pad_fixed = std::strlen(R"(,"pad":"")") + tail.size();
        const std::size_t pad = size > body.size() + pad_fixed ? size - body.size() - pad_fixed : 0;
        body += R"(,"pad":")" + std::string(pad, 'x') + "\"" + tail;
        text = body;
    }

    // Writes the message for `seq` sent at `ts_ns` into `out` (text.size() bytes).
    void stamp(char* out, std::uint64_t seq, std::uint64_t ts_ns) const {
        std::memcpy(out, text.data(), text.size());
        restamp(out, seq, ts_ns);
    }

    // Rewrites only the two fields of a message already laid out at `out`.
    void restamp(char* out, std::uint64_t seq, std::uint64_t ts_ns) const {
        std::memset(out + seq_at, ' ', kSeqWidth);
        std::memset(out + ts_at, ' ', kTsWidth);
        right_align(out + seq_at, kSeqWidth, seq);
        right_align(out + ts_at, kTsWidth, ts_ns);
    }

    std::string text;
    std::size_t seq_at = 0;
    std::size_t ts_at = 0;

private:
    static std::string level(double price) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, R"(["%.1f","0.5","0","2"])", price);
        return buffer;
    }

    static void right_align(char* field, std::size_t width, std::uint64_t value) {
        std::size_t i = width;
        do {
            field[--i] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0 && i > 0);
    }
};

// Reads a right-aligned decimal field.
inline std::uint64_t read_field(const char* field, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        if (field[i] >= '0' && field[i] <= '9') value = value * 10 + (field[i] - '0');
    }
    return value;
}

}  // namespace corvane::bench
