#pragma once
// The JSON requests an OkxConnector sends, built as pure functions of their values.

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
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
// OKX takes at most 64 KB of "args" in one request.
inline constexpr std::size_t kMaxArgsBytes = 64 * 1024;
// The same requests for `args`, in order, as few as keep each one's "args" within `max_bytes`.
std::vector<nlohmann::json> subscription_requests(const char* op,
                                                  const std::vector<ChannelArg>& args,
                                                  std::size_t max_bytes = kMaxArgsBytes);

struct Order {
    std::string ord_id, inst_id, side, px, sz, td_mode, ccy, ord_type;
    std::string px_field = "pxUsd";             // the member the price goes under
    std::optional<std::uint64_t> inst_id_code;  // "instIdCode", a JSON integer, when given
    std::string cl_ord_id, pos_side, tgt_ccy;   // "clOrdId", "posSide", "tgtCcy" unless empty
    std::optional<bool> reduce_only;            // "reduceOnly", a JSON boolean, when given
};
nlohmann::json order_request(const Order& order);
nlohmann::json order_arg(const Order& order);  // the argument, for a batch

// A cancel names the order by "ordId", "clOrdId" or both (OKX then takes ordId).
struct Cancel {
    std::string msg_id, ord_id, cl_ord_id, inst_id;
    std::optional<std::uint64_t> inst_id_code;
};
nlohmann::json cancel_request(const Cancel& cancel);
nlohmann::json cancel_arg(const Cancel& cancel);

// An amend names the order as a cancel does; `changes` are the members given (newSz, newPx,
// newPxUsd, newPxVol, reqId: JSON strings), cxlOnFail a JSON boolean.
struct Amend {
    Cancel order;
    std::map<std::string, std::string> changes;
    std::optional<bool> cxl_on_fail;
};
nlohmann::json amend_arg(const Amend& amend);

// {"args":[...],"id":id,"op":op}: an order operation with its arguments (one, or a batch's).
nlohmann::json operation_request(const std::string& id, const char* op, nlohmann::json args);

// The optional keywords of the order calls, checked: std::invalid_argument for a value OKX
// could not take.
std::optional<std::uint64_t> inst_id_code_of(const std::map<std::string, std::string>& params);
std::optional<std::string> px_field_of(const std::map<std::string, std::string>& params);
std::string cl_ord_id_of(const std::map<std::string, std::string>& params);  // "" when absent
std::optional<bool> reduce_only_of(const std::map<std::string, std::string>& params);
// A boolean keyword ("1"/"true", "0"/"false"), nullopt when absent; `name + " must be a bool"`.
std::optional<bool> bool_of(const std::map<std::string, std::string>& params,
                            const std::string& name);

}  // namespace corvane::okx
