#pragma once
// WebSocketConnector: the WebSocket side both exchange connectors share. Each connect() opens a
// stream (a Feed, feed.hpp: its connections, switched over when the exchange plans to close
// one) run on a run thread of its own; disconnect() ends it gracefully. It sends frames, and
// asks the exchange classes, through the hooks below, for what is exchange-specific. Only the
// run thread ever runs the stream's handlers; other threads send, close and wait.
//
// Locks, one per concern, in the order a thread may take them (outermost first):
//   1. The GIL. A Python thread gives it up before it takes any lock below, except the inbound
//      queue's try-locks, which never wait. No connector thread ever takes the GIL.
//   2. LiveConnectors' registry lock (live_connectors.cpp), held across the exit's disconnects.
//   3. life_mtx: connect, disconnect and destruction, one at a time. A run thread never takes
//      it, so joining the run thread under it cannot deadlock.
//   4. A connector's own locks, each of which is taken alone: MEXC's listen-key and REST host
//      locks, OKX's REST host, instrument code, relisted-order and dead-man period locks.
//   5. Subscriptions' lock (subscriptions.hpp): a change and its request as one step.
//   6. slot_mtx: the current Feed and whether its run thread has let go of it.
//   7. Feed::link_mtx: which of the stream's connections take sends.
//   8. Session::send_mtx: the connection handle and whether it is open.
//   9. InboundQueue's reader_mtx, then its mtx (inbound_queue.hpp); its bound's lock alone.
//  10. The output lock (output.cpp), ConnectionStats' lock and ConnectPacer's, and the REST
//      client's (core/rest/https: a blocking call's waiter, a started call's delivery, the TLS
//      session store): innermost; nothing blocks under them.
// Nothing that blocks (REST, a blocked output stream, a join, a paced connect's wait) happens
// under a lock a connection needs (5 to 10).

#include <nlohmann/json_fwd.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/connector/base_connector.hpp"
#include "core/stream/book_keeper.hpp"
#include "core/stream/connect_pacer.hpp"
#include "core/stream/connection_handler.hpp"
#include "core/stream/connection_stats.hpp"
#include "core/stream/keepalive.hpp"
#include "core/stream/push_traits.hpp"

namespace corvane {

class Feed;

class WebSocketConnector : public BaseExchangeConnector {
public:
    ~WebSocketConnector() override;

    void connect(const std::string& url) override;
    // Everything already sent goes out, then a close handshake (1000) waited for at most about
    // two seconds, then the connection is dropped and the run thread joined.
    void disconnect() override;

    bool is_connected();  // a connection is open
    bool is_running() const { return running.load(); }
    Stats stats() override;
    std::optional<double> max_connection_age() const override;
    void set_max_connection_age(std::optional<double> seconds) override;
    void set_keepalive(std::optional<double> ping_interval,
                       std::optional<double> ping_timeout) override;
    std::shared_ptr<book::KeptBook> track_book(const std::string& channel,
                                               const std::string& instrument,
                                               bool deliver) override;
    bool untrack_book(const std::string& channel, const std::string& instrument) override;

protected:
    // `max_age`: the connection age (seconds) at which a stream switches to a new connection.
    WebSocketConnector(KeepAlive keepalive, std::optional<double> max_age);

    // Ends the connection and forgets the connector. Derived destructors call it first, so that
    // no hook runs on a half-destroyed object.
    void shutdown() noexcept;

    // What a connection attempt needs from the exchange.
    struct Attempt {
        std::string url;                             // the URL to open
        std::unique_ptr<ConnectionHandler> handler;  // the exchange's side of the connection
        std::string lease;  // what the attempt holds at the exchange (MEXC: its listen key)
        // Run thread: the handler of a replacement connection to the same URL.
        std::function<std::unique_ptr<ConnectionHandler>()> again;
        PushTraits traits = {};  // what the exchange's pushes say about themselves
        // How long before a planned close the exchange warns; 0: it does not.
        std::chrono::seconds warning{0};
        BookSource books = {};  // the order books tracked (registry: `books` below)
    };
    // Python thread, no lock held (it may block): the attempt for the caller's `url`.
    virtual Attempt prepare(const std::string& url) = 0;
    // Python thread, no lock held: once the client was asked for the connection, even if that
    // failed.
    virtual void on_connection_created() {}
    // Python thread: the connection of `lease` has started / will never start.
    virtual void adopt(const std::string& /*lease*/) {}
    virtual void abandon(const std::string& /*lease*/) {}
    // Python thread, no lock held: after disconnect() and at destruction.
    virtual void after_disconnect() {}
    // The sequence rule of a book the exchange keeps on `channel`, and its sync's limits; throws
    // std::invalid_argument for any other channel. Python threads.
    struct BookRules {
        const book::SequenceRule& rule;
        book::BookSyncLimits limits;
    };
    virtual BookRules book_rules(const std::string& channel,
                                 const std::string& instrument) const = 0;
    // What paces this exchange's new connections; none by default.
    virtual ConnectPacer* pacer() { return nullptr; }

    // Any thread: a request (an order) as a text frame on the current connection, whose answer
    // comes on that connection (the handler reports it: Session::request_answered); throws
    // std::runtime_error("Send failed: ...") when there is none.
    void send_message(const nlohmann::json& msg);
    // Any thread: sends `msg` on every open connection of the stream (during a switch-over, the
    // replacement too), else nothing.
    void send_if_open(const nlohmann::json& msg);
    // Any thread: throws as send_message would when there is no connection to send on.
    void require_session();
    // The books tracked: the exchange's Attempt points its BookSource at them.
    book::BookRegistry books;

    // Any thread: a channel was subscribed or unsubscribed; its order-book sequence starts
    // again with its next push (an empty instrument: all of the channel's).
    void restart_sequence(std::string channel, std::string instrument);

private:
    // `asked`: set once the client is asked for the connection.
    void start(Attempt attempt, std::uint64_t epoch, bool& asked);
    void run_feed(Feed& stream);
    void stop_feed();
    void end_feed();
    void release_feed();
    void books_changed();

    KeepAlive keepalive;  // guarded by life_mtx; each stream takes a copy
    ConnectionStats counts;
    std::atomic<double> max_age_s;  // infinity: no limit
    std::atomic<bool> running{false};
    std::atomic<std::uint64_t> disconnects{0};  // lets a connect notice a disconnect() meanwhile
    std::mutex life_mtx;
    std::thread run_thread;  // guarded by life_mtx
    std::mutex slot_mtx;
    std::unique_ptr<Feed> feed;       // guarded by slot_mtx
    bool feed_done = true;            // guarded by slot_mtx: the run thread has let go of it
    std::condition_variable slot_cv;  // with slot_mtx: signals feed_done
};

}  // namespace corvane
