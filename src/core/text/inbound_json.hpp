#pragma once
// The one way inbound JSON is parsed (a login reply, a REST reply): strict, one value, no
// comments, and no deeper than a reply of the exchanges ever is. Deeper text is refused like
// text that is not JSON, so that a hostile reply cannot exhaust the stack when the value is
// later printed or compared.

#include <nlohmann/json.hpp>

#include <string>

namespace corvane {

inline constexpr int kMaxInboundJsonDepth = 256;

// Throws nlohmann::json::parse_error for text that is not JSON, std::runtime_error for JSON
// nested deeper than kMaxInboundJsonDepth.
nlohmann::json parse_inbound_json(const std::string& text);

}  // namespace corvane
