#pragma once
// MexcConnector: MEXC's WebSocket streams plus its signed REST API. A public connector streams
// host@symbol@level channels; a private one first obtains a listen key over REST, opens the
// stream with it, replays its channels and renews the key while the stream lasts. Orders and
// cancels go over REST. A ping thread keeps the stream alive.

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/credentials.hpp"
#include "core/websocket_connector.hpp"
#include "mexc/mexc_requests.hpp"
#include "mexc/rest_client.hpp"

namespace corvane {

struct MexcSettings {
    mexc::RestEndpoint rest;                                       // api.mexc.com:443
    std::chrono::milliseconds ping_interval{30000};                // {"method":"PING"} while open
    std::chrono::milliseconds listen_key_renewal{20 * 60 * 1000};  // the key lapses after 60 min
    std::chrono::milliseconds stall_limit{70000};  // silence that ends a stalled stream
};

class MexcConnector final : public WebSocketConnector {
public:
    MexcConnector();
    MexcConnector(std::string API_key, std::string API_secret, std::string API_pass);
    // C++ only: another REST host and other intervals (the tests use the local simulator).
    MexcConnector(std::optional<Credentials> credentials, MexcSettings settings);
    ~MexcConnector() override;

    void subscribe(const ParamMap& params) override;
    void unsubscribe(const ParamMap& params) override;
    void place_order(const ParamMap& params) override;
    void cancel_order(const ParamMap& params) override;

    const std::string& current_listen_key() const { return listen_key; }

private:
    std::string session_url(const std::string& url) override;
    void on_connection_created() override;
    void start_workers() override;
    void join_workers() override;
    void on_open() override;
    void on_message(std::string& payload, bool binary) override;
    void on_closed() override;

    std::string send_signed_request(const std::string& method, const std::string& target,
                                    ParamMap params) const;
    void on_open_public();
    void resubscribe_private();
    void subscribe_public(const mexc::PublicChannel& channel);
    void subscribe_private(const std::string& channel);
    void unsubscribe_public(const mexc::PublicChannel& channel);
    void unsubscribe_private(const std::string& channel);
    void ping_loop();
    void keepalive_listen_key();
    void report_worker_error(const std::exception& e) const;

    const std::string api_key;     // kept, but MEXC uses only the other two
    const std::string api_secret;  // sent as X-MEXC-APIKEY
    const std::string api_pass;    // the HMAC secret
    const bool is_private;
    const MexcSettings settings;
    std::string listen_key;  // written by connect before the run thread starts
    std::thread ping_thread;
    std::thread keepalive_thread;
    std::vector<std::string> private_channels;              // guarded by mtx
    std::vector<mexc::PublicChannel> public_subscriptions;  // guarded by mtx
};

}  // namespace corvane
