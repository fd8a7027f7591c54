#pragma once
// MexcConnector: MEXC's WebSocket streams plus its signed REST API. A public connector streams
// host@symbol@level channels; a private one first obtains a listen key over REST (extending the
// one it still holds when it can), opens the stream with it, replays its channels and renews
// the key while the stream lasts. Orders, cancels and order queries go over REST. What belongs to
// one connection (its listen key, the renewal under way) lives in its MexcConnector::Connection.

#include <chrono>
#include <mutex>
#include <optional>
#include <string>

#include "core/connector/subscriptions.hpp"
#include "core/connector/websocket_connector.hpp"
#include "core/rest/clock/clock_offset.hpp"
#include "core/rest/https_client.hpp"
#include "core/text/credentials.hpp"
#include "mexc/mexc_answers.hpp"
#include "mexc/mexc_requests.hpp"

namespace corvane {

struct MexcSettings {
    https::Endpoint rest{"api.mexc.com"};                          // port 443
    std::chrono::milliseconds ping_interval{30000};                // {"method":"PING"} while open
    std::chrono::milliseconds listen_key_renewal{20 * 60 * 1000};  // the key lapses after 60 min
    std::chrono::milliseconds stall_limit{70000};       // silence that ends a stalled stream
    std::chrono::milliseconds key_close_timeout{3000};  // closing a key at disconnect()
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
    std::optional<std::string> place_order(const ParamMap& params) override;
    std::optional<std::string> cancel_order(const ParamMap& params) override;
    std::string query_order(const ParamMap& params) override;
    std::optional<std::string> batch_orders(const ParamMap& params,
                                            const std::vector<ParamMap>& orders) override;
    std::string open_orders(const ParamMap& params) override;
    // DELETE /api/v3/openOrders: every open order of one symbol; the exchange's reply.
    std::string cancel_all_orders(const ParamMap& params);
    Stats stats() override;
    std::string rest_url() const override;
    void set_rest_url(const std::string& url) override;

    // The listen key the connector holds (empty when none).
    std::string current_listen_key() const;

private:
    class Connection;

    Attempt prepare(const std::string& url) override;
    Attempt prepare_stream(const std::string& url);
    BookRules book_rules(const std::string& channel, const std::string& instrument) const override;
    const std::vector<std::string>& keywords_of(OrderCall call) const override;
    bool has_credentials() const override { return is_private; }
    const char* private_constructor() const override {
        return "MexcConnector(unused, api_key, secret_key)";
    }
    void on_connection_created() override;
    void adopt(const std::string& lease) override;
    void abandon(const std::string& lease) override;
    void after_disconnect() override;

    // Python threads, no connector lock held: listen keys over REST.
    std::string obtain_listen_key();
    std::string create_listen_key() const;
    bool extend_listen_key(const std::string& key) const;
    void close_listen_key(const std::string& key) const;
    std::string take_held_key();

    https::Endpoint rest() const;
    std::string order_request(const std::string& method, ParamMap params,
                              mexc::Answer documented, const char* path = mexc::kOrderPath);
    https::Reply send_order_request(const std::string& method, ParamMap params,
                                    const char* path);
    std::int64_t clock_offset() const { return clock.offset().value_or(0); }
    std::size_t replay(RunContext& context) const;  // run thread
    std::vector<std::string> stream_names() const;  // every stream recorded, each once

    const std::string api_key;     // kept, but MEXC uses only the other two
    const std::string api_secret;  // sent as X-MEXC-APIKEY
    const std::string api_pass;    // the HMAC secret
    const bool is_private;
    const MexcSettings settings;
    mutable std::mutex rest_mtx;
    https::Endpoint rest_host;  // guarded by rest_mtx
    mutable std::mutex key_mtx;
    std::string held_key;  // guarded by key_mtx: the key of the last connection, until closed
    Subscriptions<std::string> private_channels;
    Subscriptions<mexc::PublicChannel> public_subscriptions;
    ClockOffset clock;  // MEXC's time: every signed timestamp
};

}  // namespace corvane
