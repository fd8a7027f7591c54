#include "okx/okx_account_rest.hpp"

#include <nlohmann/json.hpp>

#include <utility>

#include "core/text/url_encode.hpp"
#include "crypto/crypto_extensions.hpp"

namespace corvane::okx {
namespace {

// The keywords of a pending-orders query and the parameters they become, in the order sent.
const std::pair<const char*, const char*> kPendingQuery[] = {
    {"inst_type", "instType"}, {"inst_family", "instFamily"}, {"inst_id", "instId"},
    {"ordType", "ordType"},    {"state", "state"},            {"after", "after"},
    {"before", "before"},      {"limit", "limit"}};

}  // namespace

https::Request time_request() {
    return https::Request{"GET", "/api/v5/public/time", {}, {}};
}

https::Request signed_post(const std::string& target, const std::string& body,
                           const Credentials& credentials, bool demo,
                           const std::string& timestamp) {
    const CryptoExtensions crypto;
    https::Request request{"POST", target, {}, body};
    request.headers = {
        {"OK-ACCESS-KEY", credentials.api_key},
        {"OK-ACCESS-SIGN", crypto.encode64(crypto.CalcHmacSHA256(
                               credentials.api_secret, timestamp + "POST" + target + body))},
        {"OK-ACCESS-TIMESTAMP", timestamp},
        {"OK-ACCESS-PASSPHRASE", credentials.api_pass},
        {"Content-Type", "application/json"}};
    if (demo) request.headers.emplace_back("x-simulated-trading", "1");
    return request;
}

std::string cancel_all_after_body(int seconds) {
    return nlohmann::json{{"timeOut", std::to_string(seconds)}}.dump();
}

std::string pending_orders_target(const ParamMap& keywords) {
    std::string target = "/api/v5/trade/orders-pending";
    char separator = '?';
    for (const auto& [keyword, name] : kPendingQuery) {
        const auto it = keywords.find(keyword);
        if (it == keywords.end()) continue;
        target += separator + std::string(name) + "=" + url_encode(it->second);
        separator = '&';
    }
    return target;
}

}  // namespace corvane::okx
