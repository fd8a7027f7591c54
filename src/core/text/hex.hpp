#pragma once
// Hex digits of bytes, the library's one hex encoder: signatures are lower-case hex, percent
// escapes upper case.

#include <string>
#include <string_view>

namespace corvane {

enum class HexCase { lower, upper };

// Appends the two hex digits of `byte` to `out`.
inline void append_hex(std::string& out, unsigned char byte, HexCase hex_case) {
    static constexpr char kLower[] = "0123456789abcdef";
    static constexpr char kUpper[] = "0123456789ABCDEF";
    const char* digits = hex_case == HexCase::lower ? kLower : kUpper;
    out += digits[byte >> 4];
    out += digits[byte & 15];
}

inline std::string to_hex(std::string_view bytes, HexCase hex_case) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char ch : bytes) append_hex(out, static_cast<unsigned char>(ch), hex_case);
    return out;
}

}  // namespace corvane
