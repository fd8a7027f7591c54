#pragma once
// OkxConnector: OKX's WebSocket API. A public connector streams the channels it was subscribed
// to; a private one logs in on every open and subscribes its channels once the exchange accepts
// the login. Orders and cancels go out on the same connection. What belongs to one connection
// (whether its login reply has come) lives in its OkxConnector::Connection.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/connector/subscriptions.hpp"
#include "core/connector/websocket_connector.hpp"
#include "core/rest/clock/clock_offset.hpp"
#include "core/rest/https_client.hpp"
#include "core/text/credentials.hpp"
#include "okx/dead_man_switch.hpp"
#include "okx/okx_requests.hpp"
#include "okx/okx_rest.hpp"
#include "okx/relisted_orders.hpp"

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
    // The caller of the order sent with `ord_id` and resend_relisted stops waiting for its
    // reply: from now on it is never sent again. Whether it was (the answer is the resend's),
    // or OKX's 51001 refusal, held while the instrument was fetched again, is the answer.
    okx::RelistedOrders::Settled settle_order(const std::string& ord_id);
    std::string query_order(const ParamMap& params) override;
    std::optional<std::string> batch_orders(const ParamMap& params,
                                            const std::vector<ParamMap>& orders) override;
    std::string open_orders(const ParamMap& params) override;
    // amend-order, batch-cancel-orders and batch-amend-orders on the connection; the replies
    // arrive on the stream.
    void amend_order(const ParamMap& params);
    void batch_cancel_orders(const ParamMap& params, const std::vector<ParamMap>& orders);
    void batch_amend_orders(const ParamMap& params, const std::vector<ParamMap>& orders);
    // POST cancel-all-after with `seconds` (0, or 10 to 120) now; then, unless 0, the
    // connector keeps refreshing it (dead_man_switch.hpp). The exchange's reply.
    std::string cancel_all_after(int seconds);
    Stats stats() override;
    std::string rest_url() const override;
    void set_rest_url(const std::string& url) override;
    // Caches the instIdCode of every instrument of `inst_type` (OPTION: of `inst_family`) with
    // one REST request, so that no order waits for a lookup; how many came. Python threads.
    std::size_t load_instruments(const std::string& inst_type, const std::string& inst_family);
    // The instIdCode of `inst_id`: cached, else fetched (caching every code of its type) as an
    // order on it would, so that the order then goes out without waiting. Python threads.
    std::uint64_t instrument_code(const std::string& inst_id);

private:
    class Connection;

    Attempt prepare(const std::string& url) override;
    BookRules book_rules(const std::string& channel, const std::string& instrument) const override;
    ConnectPacer* pacer() override;
    const std::vector<std::string>& keywords_of(OrderCall call) const override;
    bool has_credentials() const override { return is_private; }
    const char* private_constructor() const override {
        return "OkxConnector(API_key, API_secret, API_pass)";
    }

    // Run thread, for the connection.
    void send_login(RunContext& context) const;
    std::vector<okx::ChannelArg> replay(RunContext& context) const;
    std::size_t unsubscribe_all(RunContext& context) const;  // run thread
    // Python threads.
    okx::ChannelArg channel_arg(const ParamMap& params) const;
    std::vector<std::string> registry_lines(const std::vector<okx::ChannelArg>& args) const;
    // The caller's inst_id_code, else the one cached for `inst_id`, else OKX's (REST, bounded in
    // time, caching every code of its type); RequestRefused or RequestNotSent naming the
    // instrument when it cannot be had.
    std::uint64_t inst_id_code(const ParamMap& params, const std::string& inst_id);
    std::optional<std::uint64_t> cached_code(const std::string& inst_id);
    // The request listing every instrument of a type (and family), and where it goes. Any
    // thread.
    https::Request instruments_request(const std::string& inst_type,
                                       const std::string& inst_family,
                                       https::Endpoint* endpoint) const;
    https::Request instruments_request_for(const std::string& inst_id,
                                           https::Endpoint* endpoint) const;
    // Run thread: the codes an instruments reply lists, cached; `inst_id`'s if among them.
    std::optional<std::uint64_t> code_in_reply(const https::Reply& reply, const std::string& inst_id);
    okx::InstrumentCodes fetch_codes(const std::string& inst_type, const std::string& inst_family,
                                     const std::string& what);
    https::Endpoint rest_endpoint(bool* demo = nullptr) const;
    // The order arguments of the order calls, checked, their instrument codes looked up.
    okx::Order order_of(const ParamMap& params);
    okx::Cancel cancel_of(const ParamMap& params, bool with_msg_id);
    okx::Amend amend_of(const ParamMap& params, bool with_msg_id);
    // A signed REST call on the calling thread: the answer OKX documents, REST errors as
    // exceptions. `request` signs it with the timestamp given, for demo trading or not.
    using SignedRequest = std::function<https::Request(const std::string& timestamp, bool demo)>;
    std::string signed_call(const SignedRequest& request);
    // A signed POST on the calling thread (REST errors as exceptions), or started on `loop`.
    std::string post(const std::string& target, const std::string& body);
    std::unique_ptr<https::Pending> start_post(RunLoop& loop, const std::string& target,
                                               std::string body, https::Done done);

    const Credentials credentials;
    const bool is_private;
    Subscriptions<okx::ChannelArg> channels;
    mutable std::mutex rest_mtx;
    std::optional<https::Endpoint> rest_given;    // guarded by rest_mtx: set by the caller
    https::Endpoint rest_default{"www.okx.com"};  // guarded by rest_mtx: from the last URL
    bool demo = false;  // guarded by rest_mtx: the last URL was OKX's demo trading
    std::mutex codes_mtx;
    std::map<std::string, std::uint64_t> codes;  // guarded by codes_mtx: instIdCode by instId
    okx::RelistedOrders relisted;  // orders sent with a looked-up code, until settled
    ClockOffset clock;      // OKX's time: login and REST timestamps
    DeadManPeriod dead_man;  // cancel_all_after's period, refreshed by private connections
};

}  // namespace corvane
