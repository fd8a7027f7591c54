#pragma once
// The JSON requests an OkxConnector sends, built as pure functions of their values.

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace corvane::okx {

// One argument of a subscribe or unsubscribe request: "channel" and the members that narrow it
// ("instId", "instType", "instFamily"), each a JSON string. Two are equal when all their members
// are.
struct ChannelArg {
    std::map<std::string, std::string> members;
    bool operator==(const ChannelArg& other) const { return members == other.members; }
    const std::string& channel() const { return members.at("channel"); }
};

// Whole seconds of Unix time, as decimal text.
std::string login_timestamp(std::chrono::system_clock::time_point now);
// Base64 of HMAC-SHA256(secret, timestamp + "GET" + "/users/self/verify").
std::string login_signature(const std::string& timestamp, const std::string& secret);

nlohmann::json login_request(const std::string& api_key, const std::string& api_pass,
                             const std::string& sign, const std::string& timestamp);
// {"args":[{"channel":..,...},...],"op":op}, members in byte order
nlohmann::json subscription_request(const char* op, const std::vector<ChannelArg>& args);

struct Order {
    std::string ord_id, inst_id, side, px, sz, td_mode, ccy, ord_type;
    std::string px_field = "pxUsd";             // the member the price goes under
    std::optional<std::uint64_t> inst_id_code;  // "instIdCode", a JSON integer, when given
};
nlohmann::json order_request(const Order& order);
nlohmann::json cancel_request(const std::string& msg_id, const std::string& ord_id,
                              const std::string& inst_id,
                              std::optional<std::uint64_t> inst_id_code = std::nullopt);

// The optional keywords of the order calls, checked: std::invalid_argument for a value OKX
// could not take.
std::optional<std::uint64_t> inst_id_code_of(const std::map<std::string, std::string>& params);
std::string px_field_of(const std::map<std::string, std::string>& params);

}  // namespace corvane::okx
