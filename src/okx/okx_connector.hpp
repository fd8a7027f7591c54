#pragma once
// OkxConnector: OKX's WebSocket API. A public connector streams the channels it was subscribed
// to; a private one logs in on every open and subscribes its channels once the exchange accepts
// the login. Orders and cancels go out on the same connection. What belongs to one connection
// (whether its login reply has come) lives in its OkxConnector::Connection.

#include <optional>
#include <string>
#include <vector>

#include "core/credentials.hpp"
#include "core/subscriptions.hpp"
#include "core/websocket_connector.hpp"
#include "okx/okx_requests.hpp"

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
    std::optional<std::string> place_order(const ParamMap& params) override;
    std::optional<std::string> cancel_order(const ParamMap& params) override;

private:
    class Connection;

    Attempt prepare(const std::string& url) override;

    // Run thread, for the connection.
    void send_login(Session& session) const;
    void replay(Session& session) const;
    // Python threads.
    okx::ChannelArg channel_arg(const ParamMap& params) const;
    std::vector<std::string> registry_lines(const std::vector<okx::ChannelArg>& args) const;

    const std::string api_key;
    const std::string api_secret;
    const std::string api_pass;
    const bool is_private;
    Subscriptions<okx::ChannelArg> channels;
};

}  // namespace corvane
