#include "mexc/mexc_requests.hpp"

namespace corvane::mexc {

using nlohmann::json;

std::string compose_channel(const PublicChannel& channel) {
    return channel.host + "@" + channel.symbol + "@" + channel.level;
}

json subscription_request(const std::vector<std::string>& channels) {
    return {{"method", "SUBSCRIPTION"}, {"params", channels}};
}

json unsubscription_request(const std::string& channel) {
    return {{"method", "UNSUBSCRIPTION"}, {"params", json::array({json::array({channel})})}};
}

json ping_request() {
    return {{"method", "PING"}};
}

ParamMap order_params(const std::string& inst_id, const std::string& side,
                      const std::string& td_mode, const std::string& sz, const std::string& px) {
    return {
        {"symbol", inst_id}, {"side", side}, {"type", td_mode}, {"quantity", sz}, {"price", px}};
}

ParamMap cancel_params(const std::string& inst_id, const std::string& ord_id) {
    return {{"symbol", inst_id}, {"orderId", ord_id}};
}

}  // namespace corvane::mexc
