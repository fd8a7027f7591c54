#pragma once
// How a MEXC REST request is signed: parameters as percent-encoded key=value text in key order,
// a millisecond "timestamp", and a lowercase-hex HMAC-SHA256 of that text as "signature".

#include <cstdint>
#include <string>

#include "core/text/param_map.hpp"

namespace corvane::mexc {

std::string build_query_string(const ParamMap& params);
std::string hmac_sha256_hex(const std::string& secret, const std::string& message);

struct SignedParams {
    std::string signed_text;  // what the signature covers
    std::string body;         // what is sent: the same pairs plus "signature" in key order
};
// Adds "timestamp" (replacing the caller's) and then "signature" to `params`.
SignedParams sign_params(ParamMap params, const std::string& secret, std::int64_t timestamp_ms);

}  // namespace corvane::mexc
