#include "core/book/json_cursor.hpp"

#include <charconv>
#include <limits>
#include <system_error>

namespace corvane::book {
namespace {

bool digit(char c) {
    return c >= '0' && c <= '9';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hex digits at `at` (known to be there and valid when decoding).
int hex4(const char* at) {
    int value = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit_value = hex_value(at[i]);
        if (digit_value < 0) return -1;
        value = value * 16 + digit_value;
    }
    return value;
}

bool continuation(unsigned char c, unsigned char low = 0x80, unsigned char high = 0xBF) {
    return c >= low && c <= high;
}

}  // namespace

bool JsonCursor::member(std::string_view& key) {
    if (!next_in('}')) return false;
    skip_space();
    if (!scan_plain(key) && !string_slow(key, key_scratch_)) return false;
    skip_space();
    if (at_ == end_ || *at_ != ':') return fail();
    ++at_;
    return true;
}

void JsonCursor::skip_rest_of_array() {
    while (element())
        skip_value();
}

bool JsonCursor::string_slow(std::string_view& out, Scratch& scratch) {
    std::string_view raw;
    bool escaped = false;
    if (!scan_string(raw, escaped)) return false;
    out = escaped ? decode(raw, scratch) : raw;
    return true;
}

bool JsonCursor::scan_string(std::string_view& raw, bool& escaped) {
    if (at_ == end_ || *at_ != '"') return fail();
    const char* start = ++at_;
    escaped = false;
    for (;;) {
        while (at_ < end_) {
            const auto c = static_cast<unsigned char>(*at_);
            if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
            ++at_;
        }
        if (at_ == end_) return fail();
        const auto c = static_cast<unsigned char>(*at_);
        if (c == '"') {
            raw = std::string_view(start, static_cast<std::size_t>(at_ - start));
            ++at_;
            return true;
        }
        if (c == '\\') {
            escaped = true;
            if (!scan_escape()) return false;
        } else if (c < 0x20) {
            return fail();  // a raw control character
        } else if (!scan_utf8()) {
            return false;
        }
    }
}

bool JsonCursor::scan_escape() {
    if (end_ - at_ < 2) return fail();
    switch (at_[1]) {
        case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
            at_ += 2;
            return true;
        case 'u': break;
        default: return fail();
    }
    if (end_ - at_ < 6) return fail();
    const int unit = hex4(at_ + 2);
    if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) return fail();  // a lone low surrogate
    at_ += 6;
    if (unit < 0xD800 || unit > 0xDBFF) return true;
    // A high surrogate stands only before a low one.
    if (end_ - at_ < 6 || at_[0] != '\\' || at_[1] != 'u') return fail();
    const int low = hex4(at_ + 2);
    if (low < 0xDC00 || low > 0xDFFF) return fail();
    at_ += 6;
    return true;
}

// Well-formed UTF-8 only: no overlong form, no surrogate, nothing past U+10FFFF.
bool JsonCursor::scan_utf8() {
    const auto* p = reinterpret_cast<const unsigned char*>(at_);
    const std::ptrdiff_t left = end_ - at_;
    const unsigned char lead = p[0];
    int length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return fail();
    }
    if (left < length || !continuation(p[1], low, high)) return fail();
    for (int i = 2; i < length; ++i) {
        if (!continuation(p[i])) return fail();
    }
    at_ += length;
    return true;
}

std::string_view JsonCursor::decode(std::string_view raw, Scratch& scratch) {
    std::size_t size = 0;
    const auto put = [&](unsigned value) {
        if (size < Scratch::kSize) scratch.bytes[size] = static_cast<char>(value);
        ++size;
    };
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\') {
            put(static_cast<unsigned char>(raw[i]));
            continue;
        }
        const char kind = raw[++i];
        switch (kind) {
            case 'b': put('\b'); break;
            case 'f': put('\f'); break;
            case 'n': put('\n'); break;
            case 'r': put('\r'); break;
            case 't': put('\t'); break;
            case 'u': {
                unsigned code = static_cast<unsigned>(hex4(raw.data() + i + 1));
                i += 4;
                if (code >= 0xD800 && code <= 0xDBFF) {  // the pair was checked when scanned
                    const auto low = static_cast<unsigned>(hex4(raw.data() + i + 3));
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    i += 6;
                }
                if (code < 0x80) {
                    put(code);
                } else if (code < 0x800) {
                    put(0xC0 | (code >> 6));
                    put(0x80 | (code & 0x3F));
                } else if (code < 0x10000) {
                    put(0xE0 | (code >> 12));
                    put(0x80 | ((code >> 6) & 0x3F));
                    put(0x80 | (code & 0x3F));
                } else {
                    put(0xF0 | (code >> 18));
                    put(0x80 | ((code >> 12) & 0x3F));
                    put(0x80 | ((code >> 6) & 0x3F));
                    put(0x80 | (code & 0x3F));
                }
                break;
            }
            default: put(static_cast<unsigned char>(kind)); break;  // '"', '\\' or '/'
        }
    }
    if (size > Scratch::kSize) return raw;  // see Scratch
    return std::string_view(scratch.bytes, size);
}

bool JsonCursor::number(std::optional<std::int64_t>& whole) {
    skip_space();
    whole.reset();
    const char* start = at_;
    const bool negative = at_ < end_ && *at_ == '-';
    if (negative) ++at_;
    if (at_ == end_ || !digit(*at_)) return fail();
    if (*at_ == '0') {
        ++at_;
    } else {
        while (at_ < end_ && digit(*at_))
            ++at_;
    }
    const char* digits_end = at_;
    bool integer = true;
    if (at_ < end_ && *at_ == '.') {
        ++at_;
        if (at_ == end_ || !digit(*at_)) return fail();
        while (at_ < end_ && digit(*at_))
            ++at_;
        integer = false;
    }
    if (at_ < end_ && (*at_ == 'e' || *at_ == 'E')) {
        ++at_;
        if (at_ < end_ && (*at_ == '+' || *at_ == '-')) ++at_;
        if (at_ == end_ || !digit(*at_)) return fail();
        while (at_ < end_ && digit(*at_))
            ++at_;
        integer = false;
    }
    const std::string_view token(start, static_cast<std::size_t>(at_ - start));
    if (integer) {
        // The DOM keeps what fits 64 bits (unsigned, or signed when negative) as an integer;
        // read_integer takes only what fits int64.
        std::uint64_t magnitude = 0;
        bool fits = true;
        for (const char* p = start + (negative ? 1 : 0); p < digits_end; ++p) {
            const auto d = static_cast<std::uint64_t>(*p - '0');
            if (magnitude > (std::numeric_limits<std::uint64_t>::max() - d) / 10) {
                fits = false;
                break;
            }
            magnitude = magnitude * 10 + d;
        }
        if (fits) {
            constexpr auto kMax =
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
            if (!negative && magnitude <= kMax) {
                whole = static_cast<std::int64_t>(magnitude);
            } else if (negative && magnitude <= kMax + 1) {
                whole = magnitude == kMax + 1 ? std::numeric_limits<std::int64_t>::min()
                                              : -static_cast<std::int64_t>(magnitude);
            }
            if (!negative || whole) return true;
        }
    }
    if (!finite_double(token)) return fail();
    return true;
}

bool JsonCursor::finite_double(std::string_view token) {
    double value = 0;
    const std::from_chars_result read =
        std::from_chars(token.data(), token.data() + token.size(), value);
    if (read.ec == std::errc()) return true;
    if (read.ec != std::errc::result_out_of_range) return false;
    // Out of range both ways: only too large is refused, too small reads as zero. The power of
    // ten of the leading significant digit tells which (JSON writes no leading zero but "0.").
    const char* p = token.data() + (token[0] == '-' ? 1 : 0);
    const char* const end = token.data() + token.size();
    const std::size_t mark = token.find_first_of("eE");
    const char* const mantissa_end = mark == std::string_view::npos ? end : token.data() + mark;
    const char* point = p;
    while (point < mantissa_end && *point != '.')
        ++point;
    long long power = 0;
    if (*p != '0') {
        power = (point - p) - 1;
    } else {
        power = -1;
        for (const char* q = point + 1; q < mantissa_end && *q == '0'; ++q)
            --power;
    }
    long long exponent = 0;
    if (mantissa_end < end) {
        const char* q = mantissa_end + 1;
        const bool minus = *q == '-';
        if (*q == '+' || *q == '-') ++q;
        for (; q < end; ++q) {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (*q - '0');
        }
        if (minus) exponent = -exponent;
    }
    return power + exponent < 0;
}

bool JsonCursor::skip_literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - at_) < word.size() ||
        std::string_view(at_, word.size()) != word) {
        return fail();
    }
    at_ += word.size();
    return true;
}

bool JsonCursor::skip_value() {
    switch (peek()) {
        case '{': {
            if (!open_object()) return false;
            std::string_view key;
            while (member(key))
                skip_value();
            return !failed_;
        }
        case '[':
            if (!open_array()) return false;
            skip_rest_of_array();
            return !failed_;
        case '"': {
            std::string_view raw;
            bool escaped = false;
            return scan_string(raw, escaped);
        }
        case 't': return skip_literal("true");
        case 'f': return skip_literal("false");
        case 'n': return skip_literal("null");
        default: {
            std::optional<std::int64_t> whole;
            return number(whole);
        }
    }
}

}  // namespace corvane::book
