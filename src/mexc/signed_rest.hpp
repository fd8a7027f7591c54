#pragma once
// MEXC's signed REST calls, over the core HTTPS client: the parameters signed as rest_signing.hpp
// says and sent as the body, the API key in "X-MEXC-APIKEY".

#include <cstdint>
#include <memory>
#include <string>

#include "core/rest/https_client.hpp"
#include "core/stream/run_loop.hpp"
#include "core/text/param_map.hpp"

namespace corvane::mexc {

// The request of `method target` for `params`, signed with `secret` at `timestamp_ms`. Throws
// std::invalid_argument for an API key holding CR, LF or NUL.
https::Request signed_request(const std::string& method, const std::string& target,
                              const std::string& key, const std::string& secret, ParamMap params,
                              std::int64_t timestamp_ms);

// The request signed now (this machine's clock plus `offset_ms`, MEXC's clock ahead of it),
// sent on the calling thread; never throws.
https::Reply send_signed(const https::Endpoint& endpoint, const std::string& method,
                         const std::string& target, const std::string& key,
                         const std::string& secret, ParamMap params, std::int64_t offset_ms = 0);

// The same on `loop`, whose thread then calls `done`.
std::unique_ptr<https::Pending> start_signed(RunLoop& loop, const https::Endpoint& endpoint,
                                             const std::string& method, const std::string& target,
                                             const std::string& key, const std::string& secret,
                                             ParamMap params, https::Done done,
                                             std::int64_t offset_ms = 0);

// The body whatever the status; on any failure writes "Error: " and the reason to standard
// error and returns the empty text.
std::string send_signed_request(const https::Endpoint& endpoint, const std::string& method,
                                const std::string& target, const std::string& key,
                                const std::string& secret, ParamMap params,
                                std::int64_t offset_ms = 0);

}  // namespace corvane::mexc
