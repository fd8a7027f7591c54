#pragma once
// Percent-encoding of one text, as the exchanges' signed REST parameters need it: ASCII letters,
// digits and "-._~" as they are, every other byte as "%" and two upper-case hex digits (MEXC
// signs a batch's encoded JSON in upper case and refuses a signature over lower-case escapes).

#include <string>

#include "core/text/hex.hpp"

namespace corvane {

inline std::string url_encode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~';
        if (unreserved) {
            out += ch;
        } else {
            out += '%';
            append_hex(out, c, HexCase::upper);
        }
    }
    return out;
}

}  // namespace corvane
