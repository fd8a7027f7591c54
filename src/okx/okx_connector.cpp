#include "okx/okx_connector.hpp"

#include <algorithm>
#include <iostream>

#include "okx/okx_requests.hpp"

namespace corvane {

KeepAlive OkxConnector::default_keepalive() {
    using std::chrono::seconds;
    return KeepAlive{SilencePolicy{seconds(25), seconds(35)}, "ping", "pong"};
}

OkxConnector::OkxConnector() : OkxConnector(std::nullopt, default_keepalive()) {}

OkxConnector::OkxConnector(std::string API_key, std::string API_secret, std::string API_pass)
    : OkxConnector(Credentials{std::move(API_key), std::move(API_secret), std::move(API_pass)},
                   default_keepalive()) {}

OkxConnector::OkxConnector(std::optional<Credentials> credentials, KeepAlive keepalive)
    : WebSocketConnector(std::move(keepalive)),
      api_key(credentials ? credentials->api_key : std::string()),
      api_secret(credentials ? credentials->api_secret : std::string()),
      api_pass(credentials ? credentials->api_pass : std::string()),
      is_private(credentials.has_value()) {}

OkxConnector::~OkxConnector() {
    shutdown();
}

// ---- connection events (run thread) ----

void OkxConnector::on_open() {
    if (is_private) {
        on_open_private();
    } else {
        on_open_public();
    }
}

void OkxConnector::on_open_public() {
    std::lock_guard<std::mutex> lock(mtx);
    if (!public_subscriptions.empty())
        send_message(okx::pairs_request("subscribe", public_subscriptions));
}

void OkxConnector::on_open_private() {
    send_login();
}

void OkxConnector::send_login() {
    const std::string timestamp = okx::login_timestamp(std::chrono::system_clock::now());
    const auto request = okx::login_request(api_key, api_pass,
                                            okx::login_signature(timestamp, api_secret), timestamp);
    std::lock_guard<std::mutex> lock(mtx);
    send_message(request);
}

void OkxConnector::on_message(std::string& payload, bool binary) {
    if (is_private && !login_reply_seen) examine_login_reply(payload);
    deliver(payload, binary);
}

void OkxConnector::examine_login_reply(const std::string& payload) {
    const auto reply = nlohmann::json::parse(payload);
    std::cout << reply.dump() << std::endl;
    const auto is = [&reply](const char* key, const char* value) {
        const auto it = reply.find(key);
        return it != reply.end() && *it == nlohmann::json(value);
    };
    if (reply.is_object() && is("event", "login") && is("code", "0")) resubscribe_private();
    login_reply_seen = true;
}

void OkxConnector::resubscribe_private() {
    std::lock_guard<std::mutex> lock(mtx);
    // Nothing subscribed yet is a normal state: later subscribes go out as they are made.
    if (private_channels.empty()) return;
    send_message(okx::channels_request("subscribe", private_channels));
}

void OkxConnector::on_closed() {
    login_reply_seen = false;
}

// ---- subscriptions (Python threads) ----

void OkxConnector::subscribe(const ParamMap& params) {
    if (is_private) {
        require_params(params, {"channel"});
        subscribe_private(params.at("channel"));
    } else {
        require_params(params, {"channel", "inst_id"});
        subscribe_public(params.at("channel"), params.at("inst_id"));
    }
}

void OkxConnector::unsubscribe(const ParamMap& params) {
    if (is_private) {
        require_params(params, {"channel"});
        unsubscribe_private(params.at("channel"));
    } else {
        require_params(params, {"channel", "inst_id"});
        unsubscribe_public(params.at("channel"), params.at("inst_id"));
    }
}

void OkxConnector::subscribe_public(const std::string& channel, const std::string& inst_id) {
    std::lock_guard<std::mutex> lock(mtx);
    if (connected.load()) send_message(okx::pairs_request("subscribe", {{channel, inst_id}}));
    public_subscriptions.emplace_back(channel, inst_id);
    print_registry();
}

void OkxConnector::subscribe_private(const std::string& channel) {
    std::lock_guard<std::mutex> lock(mtx);
    if (connected.load()) send_message(okx::channels_request("subscribe", {channel}));
    private_channels.push_back(channel);
    print_registry();
}

void OkxConnector::unsubscribe_public(const std::string& channel, const std::string& inst_id) {
    std::lock_guard<std::mutex> lock(mtx);
    const std::pair<std::string, std::string> entry(channel, inst_id);
    public_subscriptions.erase(
        std::remove(public_subscriptions.begin(), public_subscriptions.end(), entry),
        public_subscriptions.end());
    if (connected.load()) send_message(okx::pairs_request("unsubscribe", {entry}));
}

void OkxConnector::unsubscribe_private(const std::string& channel) {
    std::lock_guard<std::mutex> lock(mtx);
    private_channels.erase(std::remove(private_channels.begin(), private_channels.end(), channel),
                           private_channels.end());
    if (connected.load()) send_message(okx::channels_request("unsubscribe", {channel}));
}

void OkxConnector::print_registry() const {
    if (is_private) {
        for (const auto& channel : private_channels)
            std::cout << "Channel: " << channel << std::endl;
    } else {
        for (const auto& [channel, inst_id] : public_subscriptions) {
            std::cout << "Channel: " << channel << ", inst_id: " << inst_id << std::endl;
        }
    }
}

// ---- orders (Python threads) ----

void OkxConnector::place_order(const ParamMap& params) {
    require_params(params, {"ord_id", "inst_id", "side", "px", "sz"});
    static const std::string empty, market = "market";
    const okx::Order order{params.at("ord_id"),
                           params.at("inst_id"),
                           params.at("side"),
                           params.at("px"),
                           params.at("sz"),
                           param_or(params, "tdMode", empty),
                           param_or(params, "ccy", empty),
                           param_or(params, "ordType", market)};
    const auto request = okx::order_request(order);
    std::lock_guard<std::mutex> lock(mtx);
    send_message(request);
}

void OkxConnector::cancel_order(const ParamMap& params) {
    require_params(params, {"msg_id", "ord_id", "inst_id"});
    const auto request =
        okx::cancel_request(params.at("msg_id"), params.at("ord_id"), params.at("inst_id"));
    std::lock_guard<std::mutex> lock(mtx);
    send_message(request);
}

}  // namespace corvane
