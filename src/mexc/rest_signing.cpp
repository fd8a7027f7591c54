#include "mexc/rest_signing.hpp"

#include "core/text/hex.hpp"
#include "core/text/url_encode.hpp"
#include "crypto/crypto_extensions.hpp"

namespace corvane::mexc {

std::string build_query_string(const ParamMap& params) {
    std::string out;
    for (const auto& [key, value] : params) {
        if (!out.empty()) out += '&';
        out += url_encode(key);
        out += '=';
        out += url_encode(value);
    }
    return out;
}

std::string hmac_sha256_hex(const std::string& secret, const std::string& message) {
    return to_hex(CryptoExtensions().CalcHmacSHA256(secret, message), HexCase::lower);
}

SignedParams sign_params(ParamMap params, const std::string& secret, std::int64_t timestamp_ms) {
    params["timestamp"] = std::to_string(timestamp_ms);
    SignedParams out;
    out.signed_text = build_query_string(params);
    params["signature"] = hmac_sha256_hex(secret, out.signed_text);
    out.body = build_query_string(params);
    return out;
}

}  // namespace corvane::mexc
