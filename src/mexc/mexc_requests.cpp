#include "mexc/mexc_requests.hpp"

#include "core/text/url_encode.hpp"

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
    return {{"method", "UNSUBSCRIPTION"}, {"params", json::array({channel})}};
}

json ping_request() {
    return {{"method", "PING"}};
}

namespace {

void add_given(ParamMap& params, const ParamMap& keywords, const char* keyword, const char* name) {
    const auto it = keywords.find(keyword);
    if (it != keywords.end() && !it->second.empty()) params[name] = it->second;
}

}  // namespace

ParamMap order_params(const ParamMap& keywords) {
    ParamMap params{{"symbol", keywords.at("inst_id")},
                    {"side", keywords.at("side")},
                    {"quantity", keywords.at("sz")}};
    add_given(params, keywords, "tdMode", "type");
    add_given(params, keywords, "px", "price");
    add_given(params, keywords, "cl_ord_id", "newClientOrderId");
    return params;
}

ParamMap batch_order_params(const std::vector<ParamMap>& orders) {
    json list = json::array();
    for (const auto& order : orders)
        list.push_back(json(order_params(order)));
    return {{"batchOrders", list.dump()}};
}

https::Request time_request() {
    return https::Request{"GET", "/api/v3/time", {}, {}};
}

ParamMap order_id_params(const ParamMap& keywords) {
    ParamMap params{{"symbol", keywords.at("inst_id")}};
    add_given(params, keywords, "ord_id", "orderId");
    add_given(params, keywords, "cl_ord_id", "origClientOrderId");
    return params;
}

}  // namespace corvane::mexc
