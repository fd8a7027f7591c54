#pragma once
// OkxConnector: OKX's WebSocket API. A public connector streams the (channel, instId) pairs it
// was subscribed to; a private one logs in on every open and subscribes its channels once the
// exchange accepts the login. Orders and cancels go out on the same connection.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/credentials.hpp"
#include "core/websocket_connector.hpp"

namespace corvane {

class OkxConnector final : public WebSocketConnector {
public:
    OkxConnector();
    OkxConnector(std::string API_key, std::string API_secret, std::string API_pass);
    // C++ only: any keep-alive timing (the tests shorten it).
    OkxConnector(std::optional<Credentials> credentials, KeepAlive keepalive);
    ~OkxConnector() override;

    // "ping" after 25 s of silence (OKX drops a connection after 30 s), dead 10 s later.
    static KeepAlive default_keepalive();

    void subscribe(const ParamMap& params) override;
    void unsubscribe(const ParamMap& params) override;
    void place_order(const ParamMap& params) override;
    void cancel_order(const ParamMap& params) override;

private:
    void on_open() override;
    void on_message(std::string& payload, bool binary) override;
    void on_closed() override;

    void on_open_public();
    void on_open_private();
    void send_login();
    void examine_login_reply(const std::string& payload);
    void resubscribe_private();
    void subscribe_public(const std::string& channel, const std::string& inst_id);
    void subscribe_private(const std::string& channel);
    void unsubscribe_public(const std::string& channel, const std::string& inst_id);
    void unsubscribe_private(const std::string& channel);
    void print_registry() const;  // caller holds mtx

    const std::string api_key;
    const std::string api_secret;
    const std::string api_pass;
    const bool is_private;
    bool login_reply_seen = false;                                          // run thread only
    std::vector<std::pair<std::string, std::string>> public_subscriptions;  // guarded by mtx
    std::vector<std::string> private_channels;                              // guarded by mtx
};

}  // namespace corvane
