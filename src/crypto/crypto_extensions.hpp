#pragma once
// CryptoExtensions: the two stateless primitives the OKX login signature is made of.

#include <string>

namespace corvane {

class CryptoExtensions {
public:
    // Standard Base64 (RFC 4648 section 4) with "=" padding and no line breaks.
    std::string encode64(const std::string& data) const;
    // Raw 32-byte HMAC-SHA256 of `data`, keyed with `key`.
    std::string CalcHmacSHA256(std::string key,
                               std::string data) const;  // NOLINT(readability-identifier-naming)
};

}  // namespace corvane
