#pragma once
// The JSON requests an OkxConnector sends, built as pure functions of their values.

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace corvane::okx {

using ChannelPair = std::pair<std::string, std::string>;  // (channel, instId)

// Whole seconds of Unix time, as decimal text.
std::string login_timestamp(std::chrono::system_clock::time_point now);
// Base64 of HMAC-SHA256(secret, timestamp + "GET" + "/users/self/verify").
std::string login_signature(const std::string& timestamp, const std::string& secret);

nlohmann::json login_request(const std::string& api_key, const std::string& api_pass,
                             const std::string& sign, const std::string& timestamp);
// {"args":[{"channel":..,"instId":..},...],"op":op}
nlohmann::json pairs_request(const char* op, const std::vector<ChannelPair>& pairs);
// {"args":[{"channel":..},...],"op":op}
nlohmann::json channels_request(const char* op, const std::vector<std::string>& channels);

struct Order {
    std::string ord_id, inst_id, side, px, sz, td_mode, ccy, ord_type;
};
nlohmann::json order_request(const Order& order);
nlohmann::json cancel_request(const std::string& msg_id, const std::string& ord_id,
                              const std::string& inst_id);

}  // namespace corvane::okx
