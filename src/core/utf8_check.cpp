#include "core/utf8_check.hpp"

#include <websocketpp/utf8_validator.hpp>

#include <cstdint>
#include <cstring>

namespace corvane {

Utf8 check_utf8(const std::string& text) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        if (word & 0x8080808080808080ULL) break;
        p += 8;
    }
    while (p < end && (static_cast<unsigned char>(*p) & 0x80) == 0)
        ++p;
    if (p == end) return Utf8::ascii;
    // Everything before p is ASCII, so p starts a code point (or is invalid by itself).
    websocketpp::utf8_validator::validator validator;
    return validator.decode(p, end) && validator.complete() ? Utf8::multibyte : Utf8::invalid;
}

}  // namespace corvane
