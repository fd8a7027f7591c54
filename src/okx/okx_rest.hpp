#pragma once
// OKX's REST API as the connector uses it, as pure functions: instrument codes (public) and
// order queries (signed with the OK-ACCESS headers).

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>

#include "core/rest/https_client.hpp"
#include "core/text/credentials.hpp"

namespace corvane::okx {

// The instrument type an instId names by its shape: "BTC-USDT" SPOT, "BTC-USDT-SWAP" SWAP,
// "BTC-USD-251226" FUTURES, "BTC-USD-251226-100000-C" (or -P) OPTION.
std::string inst_type_of(const std::string& inst_id);

// The family an option's instId names ("BTC-USD-251226-100000-C": "BTC-USD"); "" otherwise.
std::string inst_family_of(const std::string& inst_id);
// GET /api/v5/public/instruments: every instrument of `inst_type` (an OPTION's of one family).
https::Request instruments_request(const std::string& inst_type, const std::string& inst_family);

// An error code OKX answered with (in a 200 reply): "50011", "Rate limit reached. ...".
struct OkxError : std::runtime_error {
    OkxError(std::string code, std::string msg)
        : std::runtime_error("OKX code " + code + ": " + msg),
          code(std::move(code)),
          msg(std::move(msg)) {}
    std::string code;
    std::string msg;
};

// What an instruments reply lists.
struct InstrumentCodes {
    std::map<std::string, std::uint64_t> codes;  // instIdCode by instId
    std::set<std::string> unusable;              // listed with no code that fits 64 bits
    unsigned status = 0;                         // the reply's HTTP status
};
// OkxError for an error code; std::runtime_error saying why for a reply that lists nothing.
InstrumentCodes instrument_codes_in(const std::string& body);

// OK-ACCESS-TIMESTAMP: ISO 8601 UTC with milliseconds, "2020-12-08T09:08:57.715Z".
std::string rest_timestamp(std::chrono::system_clock::time_point now);
// GET `target` signed with the OK-ACCESS headers: Base64(HMAC-SHA256(secret, timestamp + "GET"
// + target)). `demo` adds "x-simulated-trading: 1".
https::Request signed_get(const std::string& target, const Credentials& credentials, bool demo,
                          const std::string& timestamp);
// /api/v5/trade/order?instId=...&ordId=... (or clOrdId=..., or both: OKX then takes ordId).
std::string order_query_target(const std::string& inst_id, const std::string& ord_id,
                               const std::string& cl_ord_id);

}  // namespace corvane::okx
