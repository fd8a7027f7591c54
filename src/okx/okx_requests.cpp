#include "okx/okx_requests.hpp"

#include "crypto/crypto_extensions.hpp"

namespace corvane::okx {

using nlohmann::json;

std::string login_timestamp(std::chrono::system_clock::time_point now) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch());
    return std::to_string(seconds.count());
}

std::string login_signature(const std::string& timestamp, const std::string& secret) {
    const CryptoExtensions crypto;
    return crypto.encode64(crypto.CalcHmacSHA256(secret, timestamp + "GET" + "/users/self/verify"));
}

json login_request(const std::string& api_key, const std::string& api_pass, const std::string& sign,
                   const std::string& timestamp) {
    json arg = {
        {"apiKey", api_key}, {"passphrase", api_pass}, {"sign", sign}, {"timestamp", timestamp}};
    return {{"op", "login"}, {"args", json::array({std::move(arg)})}};
}

json subscription_request(const char* op, const std::vector<ChannelArg>& args) {
    json list = json::array();
    for (const auto& arg : args)
        list.push_back(json(arg.members));
    return {{"op", op}, {"args", std::move(list)}};
}

json order_request(const Order& order) {
    json arg = {{"ccy", order.ccy},       {"instId", order.inst_id}, {"ordType", order.ord_type},
                {"pxUsd", order.px},      {"side", order.side},      {"sz", order.sz},
                {"tdMode", order.td_mode}};
    return {{"id", order.ord_id}, {"op", "order"}, {"args", json::array({std::move(arg)})}};
}

json cancel_request(const std::string& msg_id, const std::string& ord_id,
                    const std::string& inst_id) {
    json arg = {{"instId", inst_id}, {"ordId", ord_id}};
    return {{"id", msg_id}, {"op", "cancel-order"}, {"args", json::array({std::move(arg)})}};
}

}  // namespace corvane::okx
