#include "mexc/mexc_connector.hpp"

#include <algorithm>
#include <iostream>

namespace corvane {
namespace {

KeepAlive stall_watch(const MexcSettings& settings) {
    // MEXC answers our pings, so only total silence counts; no ping of the watchdog's own.
    return KeepAlive{SilencePolicy{std::chrono::milliseconds(0), settings.stall_limit}, "", ""};
}

}  // namespace

MexcConnector::MexcConnector() : MexcConnector(std::nullopt, MexcSettings{}) {}

MexcConnector::MexcConnector(std::string API_key, std::string API_secret, std::string API_pass)
    : MexcConnector(Credentials{std::move(API_key), std::move(API_secret), std::move(API_pass)},
                    MexcSettings{}) {}

MexcConnector::MexcConnector(std::optional<Credentials> credentials, MexcSettings settings)
    : WebSocketConnector(stall_watch(settings)),
      api_key(credentials ? credentials->api_key : std::string()),
      api_secret(credentials ? credentials->api_secret : std::string()),
      api_pass(credentials ? credentials->api_pass : std::string()),
      is_private(credentials.has_value()),
      settings(std::move(settings)) {}

MexcConnector::~MexcConnector() {
    shutdown();
}

std::string MexcConnector::send_signed_request(const std::string& method, const std::string& target,
                                               ParamMap params) const {
    return mexc::send_signed_request(settings.rest, method, target, api_secret, api_pass,
                                     std::move(params));
}

// ---- connect (Python thread) ----

std::string MexcConnector::session_url(const std::string& url) {
    if (!is_private) return url;
    auto reply = nlohmann::json::parse(send_signed_request("POST", mexc::kListenKeyPath, {}));
    listen_key = reply["listenKey"].get<std::string>();
    return url + "?listenKey=" + listen_key;
}

void MexcConnector::on_connection_created() {
    if (is_private) std::cout << "Connected MEXC private" << std::endl;
}

void MexcConnector::start_workers() {
    ping_thread = std::thread([this] { ping_loop(); });
    if (is_private && !listen_key.empty()) {
        keepalive_thread = std::thread([this] { keepalive_listen_key(); });
    }
}

void MexcConnector::join_workers() {
    if (ping_thread.joinable()) ping_thread.join();
    if (keepalive_thread.joinable()) keepalive_thread.join();
}

// ---- connection events (run thread) ----

void MexcConnector::on_open() {
    if (!is_private) {
        on_open_public();
    } else if (!listen_key.empty()) {
        resubscribe_private();
    }
}

void MexcConnector::on_message(std::string& payload, bool binary) {
    deliver(payload, binary);
}

void MexcConnector::on_closed() {
    std::cout << "Connection MEXC closed" << std::endl;
}

void MexcConnector::on_open_public() {
    std::lock_guard<std::mutex> lock(mtx);
    if (public_subscriptions.empty()) return;
    std::vector<std::string> channels;
    for (const auto& entry : public_subscriptions)
        channels.push_back(mexc::compose_channel(entry));
    send_message(mexc::subscription_request(channels));
}

void MexcConnector::resubscribe_private() {
    std::lock_guard<std::mutex> lock(mtx);
    if (!private_channels.empty()) send_message(mexc::subscription_request(private_channels));
}

// ---- subscriptions (Python threads) ----

void MexcConnector::subscribe(const ParamMap& params) {
    if (is_private) {
        require_params(params, {"channel"});
        subscribe_private(params.at("channel"));
    } else {
        require_params(params, {"host", "symbol"});
        subscribe_public({params.at("host"), params.at("symbol"), param_or(params, "level", {})});
    }
}

void MexcConnector::unsubscribe(const ParamMap& params) {
    if (is_private) {
        require_params(params, {"channel"});
        unsubscribe_private(params.at("channel"));
    } else {
        require_params(params, {"host", "symbol"});
        unsubscribe_public({params.at("host"), params.at("symbol"), param_or(params, "level", {})});
    }
}

void MexcConnector::subscribe_public(const mexc::PublicChannel& channel) {
    std::lock_guard<std::mutex> lock(mtx);
    if (connected.load())
        send_message(mexc::subscription_request({mexc::compose_channel(channel)}));
    public_subscriptions.push_back(channel);
}

void MexcConnector::subscribe_private(const std::string& channel) {
    std::lock_guard<std::mutex> lock(mtx);
    if (connected.load()) send_message(mexc::subscription_request({channel}));
    private_channels.push_back(channel);
}

void MexcConnector::unsubscribe_public(const mexc::PublicChannel& channel) {
    std::lock_guard<std::mutex> lock(mtx);
    public_subscriptions.erase(
        std::remove(public_subscriptions.begin(), public_subscriptions.end(), channel),
        public_subscriptions.end());
    if (connected.load())
        send_message(mexc::unsubscription_request(mexc::compose_channel(channel)));
}

void MexcConnector::unsubscribe_private(const std::string& channel) {
    std::lock_guard<std::mutex> lock(mtx);
    const auto first = std::find(private_channels.begin(), private_channels.end(), channel);
    if (first != private_channels.end()) private_channels.erase(first);
    if (connected.load()) send_message(mexc::unsubscription_request(channel));
}

// ---- orders over REST (Python threads) ----

void MexcConnector::place_order(const ParamMap& params) {
    require_params(params, {"ord_id", "inst_id", "side", "sz"});
    static const std::string empty;
    send_signed_request("POST", mexc::kOrderPath,
                        mexc::order_params(params.at("inst_id"), params.at("side"),
                                           param_or(params, "tdMode", empty), params.at("sz"),
                                           param_or(params, "px", empty)));
}

void MexcConnector::cancel_order(const ParamMap& params) {
    require_params(params, {"msg_id", "ord_id", "inst_id"});
    send_signed_request("DELETE", mexc::kOrderPath,
                        mexc::cancel_params(params.at("inst_id"), params.at("ord_id")));
}

}  // namespace corvane
