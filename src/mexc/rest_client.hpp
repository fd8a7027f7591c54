#pragma once
// The MEXC REST client: one signed HTTPS/1.1 request per call on a fresh, verified TLS
// connection, bounded in time, never throwing.

#include <chrono>
#include <cstdint>
#include <string>

#include "core/param_map.hpp"

namespace corvane::mexc {

struct RestEndpoint {
    std::string host = "api.mexc.com";
    std::string port = "443";
    std::chrono::milliseconds timeout{10000};  // resolve, connect, handshake, write and read
};

// Signs `params` with `secret`, sends them as the body of `method target` with `key` in
// "X-MEXC-APIKEY", and returns the response body whatever its status. On any failure writes
// "Error: " and the reason to standard error and returns the empty text.
std::string send_signed_request(const RestEndpoint& endpoint, const std::string& method,
                                const std::string& target, const std::string& key,
                                const std::string& secret, ParamMap params);

// The request bytes `send_signed_request` would write, for a given timestamp (no I/O).
std::string signed_request_text(const RestEndpoint& endpoint, const std::string& method,
                                const std::string& target, const std::string& key,
                                const std::string& secret, ParamMap params,
                                std::int64_t timestamp_ms);

}  // namespace corvane::mexc
