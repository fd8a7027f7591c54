#pragma once
// BaseExchangeConnector: the interface Python calls, plus the inbound queue every exchange fills
// and every reader drains.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/book/kept_book.hpp"
#include "core/inbound/inbound_queue.hpp"
#include "core/text/param_map.hpp"

namespace corvane {

class BaseExchangeConnector {
public:
    BaseExchangeConnector() = default;
    BaseExchangeConnector(const BaseExchangeConnector&) = delete;
    BaseExchangeConnector& operator=(const BaseExchangeConnector&) = delete;
    virtual ~BaseExchangeConnector() = default;

    virtual void connect(const std::string& url) = 0;
    virtual void disconnect() = 0;
    virtual void subscribe(const ParamMap& params) = 0;
    virtual void unsubscribe(const ParamMap& params) = 0;
    // The exchange's reply when the call itself carries it (MEXC, over REST); nullopt when the
    // reply arrives on the stream instead (OKX).
    virtual std::optional<std::string> place_order(const ParamMap& params) = 0;
    virtual std::optional<std::string> cancel_order(const ParamMap& params) = 0;
    // The exchange's answer about one order, as it came (REST); a private connector only.
    virtual std::string query_order(const ParamMap& params) = 0;

    // The REST API's base URL, "https://host[:port]"; setting it checks the form
    // (std::invalid_argument).
    virtual std::string rest_url() const = 0;
    virtual void set_rest_url(const std::string& url) = 0;

    // Throws std::invalid_argument naming the first keyword of `required` that is absent.
    void require_params(const ParamMap& params, const std::vector<std::string>& required) const;
    // The same for a call that names its order by `ord_id` or `cl_ord_id`: the text names ord_id.
    void require_order_id(const ParamMap& params) const;

    // Every call that takes keywords (subscribe: unsubscribe as well). A batch call takes
    // "orders", a list whose items each take the keywords of the single call but its request
    // id (see item_keywords).
    // `batch`: the keywords of a batch request itself, besides "orders".
    enum class OrderCall { place, cancel, query, subscribe, amend, cancel_all, open_orders, batch };
    // Throws UnknownKeyword for the first of `given` (the call's keywords, in call order) that
    // `call` does not read.
    void refuse_unknown(OrderCall call, const std::vector<std::string>& given) const;
    // The same for one order of a batch of `call`s: its keywords, less the request's id.
    void refuse_unknown_in_item(OrderCall call, const std::vector<std::string>& given) const;

    // Several orders in one request: "orders", 1 to kMaxBatch of them, each with the keywords
    // of place_order but "ord_id"; `params` holds the request's own keywords. The exchange's
    // reply when the call carries it (MEXC), nullopt when it comes on the stream (OKX).
    virtual std::optional<std::string> batch_orders(const ParamMap& params,
                                                    const std::vector<ParamMap>& orders) = 0;
    // The account's open orders, as the exchange's REST reply gives them; private only.
    virtual std::string open_orders(const ParamMap& params) = 0;
    // Both exchanges take at most 20 orders in one batch.
    static constexpr std::size_t kMaxBatch = 20;
    // std::invalid_argument unless `orders` holds 1 to kMaxBatch.
    static void require_batch_size(const std::vector<ParamMap>& orders);
    // std::runtime_error "<call> needs a private connector: <how to make one>" when public.
    void require_private(const char* call) const;

    // Keeps the order book of `channel` and `instrument` on the connection's thread from the
    // next push on (before or after connect), and returns it; tracking it again returns the same
    // book. Its pushes are queued for the readers only when `deliver`. std::invalid_argument for
    // a channel the exchange's books cannot be kept from. Subscribing is the caller's.
    virtual std::shared_ptr<book::KeptBook> track_book(const std::string& channel,
                                                       const std::string& instrument,
                                                       bool deliver) = 0;
    // False when it was not tracked.
    virtual bool untrack_book(const std::string& channel, const std::string& instrument) = 0;

    // What stats() reports: the queue's counts, and the connections'.
    struct Stats {
        InboundQueue::Counts queue;
        std::uint64_t connections = 0;  // opened so far
        bool connected = false;
        std::optional<std::string> last_error;
        std::uint64_t pings_sent = 0;
        std::uint64_t gaps = 0;  // breaks in the exchanges' own sequences
        // The exchange's clock minus this machine's, as last measured (private connectors).
        std::optional<std::int64_t> clock_offset_ms;
        struct Book {
            book::BookKey key;
            book::BookStatus status;
        };
        std::vector<Book> books;  // the tracked order books
    };
    virtual Stats stats() = 0;
    // The age (seconds) at which a connection is replaced by a new one without a gap; nullopt:
    // none. Setting it checks the value (std::invalid_argument) and applies to the connection
    // open now as well.
    virtual std::optional<double> max_connection_age() const = 0;
    virtual void set_max_connection_age(std::optional<double> seconds) = 0;
    // The keep-alive from the next connect() on, in seconds: a ping after `ping_interval` (of
    // silence where the exchange asks for that, else every interval), and the connection closed
    // as dead when nothing arrives within `ping_timeout` of a ping; nullopt turns each off (no
    // ping: no time-out either). Checks the values (std::invalid_argument); a huge one means as
    // long as can be waited.
    virtual void set_keepalive(std::optional<double> ping_interval,
                               std::optional<double> ping_timeout) = 0;
    // Above `bytes` of queued payload the connection stops reading its socket, and reads again
    // below half; 0 (the default): no bound.
    void limit_queue(std::size_t bytes) { inbound.limit_bytes(bytes); }

    // The readers' side of the inbound queue (see inbound_queue.hpp).
    std::optional<InboundMessage> take(std::chrono::milliseconds max_wait) {
        return inbound.take(max_wait);
    }
    std::optional<InboundMessage> try_take() { return inbound.try_take(); }
    void give_back(std::string&& payload) { inbound.give_back(std::move(payload)); }
    InboundQueue& queue() { return inbound; }

protected:
    // The keywords `call` reads.
    virtual const std::vector<std::string>& keywords_of(OrderCall call) const = 0;
    // Whether this connector holds credentials, and how a private one is made (for errors).
    virtual bool has_credentials() const = 0;
    virtual const char* private_constructor() const = 0;

    InboundQueue inbound;
};

}  // namespace corvane
