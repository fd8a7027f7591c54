#pragma once
// JsonCursor: reads one JSON text front to back in place, with no DOM and no allocation, for the
// book readers that run on a connection's thread for every push. It accepts exactly what
// parse_inbound_json accepts (one strict RFC 8259 value, a leading UTF-8 BOM, valid UTF-8 in
// strings, no number that overflows a double, no more than kMaxInboundJsonDepth containers
// deep): the first fault fails the cursor, and every step after that returns false, so a caller
// reads on without checking each step and asks failed() once at the end. What a member means is
// the caller's business; the cursor only walks. Owned by one reader at a time; it holds a view
// of the text, which must outlive it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/text/inbound_json.hpp"

namespace corvane::book {

class JsonCursor {
public:
    // Where a decoded string goes when it holds escapes. A decoded text longer than this is given
    // as its raw escaped bytes instead, which are at least as long: longer than any price, number
    // or name a reader accepts, so it is refused or unequal exactly as its decoded form would be.
    struct Scratch {
        static constexpr std::size_t kSize = 80;
        char bytes[kSize];
    };
    explicit JsonCursor(std::string_view text) : at_(text.data()), end_(text.data() + text.size()) {
        if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") at_ += 3;
    }

    bool failed() const { return failed_; }
    // The text not read yet.
    std::string_view rest() const {
        return std::string_view(at_, static_cast<std::size_t>(end_ - at_));
    }
    // The next value's first byte ('{', '[', '"', '-', a digit, 't', 'f', 'n'), or 0 at the end
    // of the text or once failed.
    char peek() {
        skip_space();
        return at_ < end_ ? *at_ : 0;
    }

    // '{' or '[' at the cursor entered; false (and failed) for anything else.
    bool open_object() { return open('{'); }
    bool open_array() { return open('['); }
    // The next member of the object just entered: its key (in the cursor's own scratch, valid
    // until the next key) with the cursor on its value. False at '}', which is consumed, or on a
    // fault.
    bool member(std::string_view& key);
    // The next element of the array just entered, the cursor on it. False at ']', which is
    // consumed, or on a fault.
    bool element() { return next_in(']'); }
    // The rest of the array just entered, skipped to its end.
    void skip_rest_of_array();

    // A string value: its text, decoded into `scratch` only when it holds escapes.
    bool string(std::string_view& out, Scratch& scratch) {
        skip_space();
        return scan_plain(out) || string_slow(out, scratch);
    }
    // A number value; `whole` holds it when it is written as an integer that fits int64 (what
    // a DOM keeps as an integer; a fraction, an exponent or more digits make it a double).
    bool number(std::optional<std::int64_t>& whole);
    // Any value, checked and skipped.
    bool skip_value();
    // The end of the text: only whitespace may follow the value. False if anything else does or
    // the cursor failed.
    bool finish() {
        skip_space();
        if (at_ != end_) fail();
        return !failed_;
    }

private:
    static bool space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
    void skip_space() {
        while (at_ < end_ && space(*at_))
            ++at_;
    }
    bool fail() {
        failed_ = true;
        at_ = end_;
        return false;
    }
    bool open(char bracket) {
        skip_space();
        if (at_ == end_ || *at_ != bracket || depth_ >= kMaxInboundJsonDepth) return fail();
        ++at_;
        ++depth_;
        fresh_ = true;
        return true;
    }
    // After the first element or member, each one is announced by a comma.
    bool next_in(char close) {
        skip_space();
        if (at_ < end_) {
            if (*at_ == close) {
                ++at_;
                --depth_;
                fresh_ = false;
                return false;
            }
            if (fresh_) {
                fresh_ = false;
                return true;
            }
            if (*at_ == ',') {
                ++at_;
                return true;
            }
        }
        return fail();
    }
    // The string at the cursor when it is plain ASCII with no escape, as prices and names are:
    // read here, inline. False, the cursor unmoved, for anything else.
    bool scan_plain(std::string_view& raw) {
        if (at_ == end_ || *at_ != '"') return false;
        const char* p = at_ + 1;
        while (p < end_) {
            const auto c = static_cast<unsigned char>(*p);
            if (c - 0x20u >= 0x60u || c == '"' || c == '\\') break;
            ++p;
        }
        if (p == end_ || *p != '"') return false;
        raw = std::string_view(at_ + 1, static_cast<std::size_t>(p - at_ - 1));
        at_ = p + 1;
        return true;
    }
    bool string_slow(std::string_view& out, Scratch& scratch);
    // The string at the cursor checked and passed; `escaped` when it holds a backslash.
    bool scan_string(std::string_view& raw, bool& escaped);
    bool scan_escape();
    bool scan_utf8();
    bool skip_literal(std::string_view word);
    // A number that is no int64 is kept as a double, and one too large for a double is refused.
    static bool finite_double(std::string_view token);
    static std::string_view decode(std::string_view raw, Scratch& scratch);

    const char* at_;
    const char* end_;
    int depth_ = 0;
    bool fresh_ = false;  // a container was just entered: no comma before its first entry
    bool failed_ = false;
    Scratch key_scratch_;
};

}  // namespace corvane::book
