#include "mexc/mexc_requests.hpp"

#include "mexc/rest_signing.hpp"

namespace corvane::mexc {

using nlohmann::json;

std::string compose_channel(const PublicChannel& channel) {
    std::string text = channel.host + "@" + channel.symbol;
    if (!channel.level.empty()) text += "@" + channel.level;
    return text;
}

std::string with_listen_key(const std::string& url, const std::string& key) {
    const char separator = url.find('?') == std::string::npos ? '?' : '&';
    return url + separator + "listenKey=" + url_encode(key);
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
