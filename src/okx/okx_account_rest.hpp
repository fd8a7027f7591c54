#pragma once
// OKX's REST calls that act on the account as a whole, as pure functions: the server time
// (public), signed POSTs, cancel-all-after and the pending orders.

#include <string>

#include "core/rest/https_client.hpp"
#include "core/text/credentials.hpp"
#include "core/text/param_map.hpp"

namespace corvane::okx {

inline constexpr char kCancelAllAfterPath[] = "/api/v5/trade/cancel-all-after";

// GET /api/v5/public/time: {"code":"0","data":[{"ts":"1597026383085"}]}.
https::Request time_request();
// POST `target` with the JSON `body`, signed with the OK-ACCESS headers: Base64(HMAC-SHA256(
// secret, timestamp + "POST" + target + body)). `demo` adds "x-simulated-trading: 1".
https::Request signed_post(const std::string& target, const std::string& body,
                           const Credentials& credentials, bool demo,
                           const std::string& timestamp);
// {"timeOut":"<seconds>"}
std::string cancel_all_after_body(int seconds);
// /api/v5/trade/orders-pending, with the query of the keywords given: instType, instFamily,
// instId from inst_type, inst_family, inst_id; ordType, state, after, before, limit as named.
std::string pending_orders_target(const ParamMap& keywords);

}  // namespace corvane::okx
