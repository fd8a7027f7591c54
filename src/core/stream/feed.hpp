#pragma once
// Feed: the stream one connect() opens, from then until it has ended. It owns the event loop and
// every connection of the stream (each a Session): the current one and, during a switch-over,
// its replacement and the one retiring. A switch-over begins when the exchange announces that
// it will close the current connection (the exchange's handler calls Session::replace) or when
// the current connection reaches the connector's max_connection_age: a replacement opens, is
// logged in and subscribed like the first, and once ready takes over. The old one is then asked
// to stop its pushes and reads on, past limit_queue's bound, until the exchange has answered:
// everything it received is delivered, and only then is it closed (a close sent earlier would
// make the WebSocket library drop what is still on its way). The replacement's messages wait
// meanwhile and follow the old one's, less the twins (Reconciler): the reader sees each push
// once and in order, and the exchanges' sequences are checked across (SequenceCheck). The stream
// ends, and its readers with it, only when the current connection ends with no replacement to
// take over. Its states and their transitions: core/stream/switchover/feed_state.hpp.
//
// Threads: built, and its first connection opened, on a Python thread inside connect(). run()
// makes the calling thread the stream's own: every WebSocket handler, timer and exchange
// handler of every connection runs there and nowhere else. Other threads send, ask for the close
// and stop the loop (the calls under "any thread"); `link_mtx` guards which connections they
// may send on.

#include <boost/asio/steady_timer.hpp>
#include <nlohmann/json_fwd.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/inbound/inbound_queue.hpp"
#include "core/stream/asio_run_loop.hpp"
#include "core/stream/book_keeper.hpp"
#include "core/stream/connect_pacer.hpp"
#include "core/stream/connection_handler.hpp"
#include "core/stream/connection_stats.hpp"
#include "core/stream/keepalive.hpp"
#include "core/stream/push_traits.hpp"
#include "core/stream/switchover/feed_state.hpp"
#include "core/stream/switchover/reconciler.hpp"
#include "core/stream/switchover/sequence_check.hpp"
#include "core/stream/thread_owner.hpp"
#include "core/transport/client_config.hpp"

namespace corvane {

class Session;

class Feed {
public:
    // What the connector lends the stream; every part outlives it.
    struct Setup {
        InboundQueue& inbound;
        ConnectionStats& stats;
        KeepAlive keepalive;  // the connector's when the stream started
        const std::atomic<double>& max_age_s;  // the connector's max_connection_age; inf: none
        ConnectPacer* pacer;                   // new connections to this exchange; null: none
        // Run thread: the exchange's side of a replacement connection.
        std::function<std::unique_ptr<ConnectionHandler>()> another_handler;
        PushTraits traits;  // what the exchange's pushes say about themselves
        // How long before a planned close the exchange warns (OKX's notice); 0: it does not.
        std::chrono::seconds warning{0};
        BookSource books;  // the order books the connector tracks
    };
    // How long a replacement may take to be ready before it is given up, and an old connection
    // to have its pushes stopped before it is closed anyway.
    static constexpr std::chrono::seconds kReadyWithin{10};
    static constexpr std::chrono::seconds kDrainWithin{10};

    explicit Feed(Setup setup);
    ~Feed();
    Feed(const Feed&) = delete;
    Feed& operator=(const Feed&) = delete;

    // Python thread, before run(): creates the first connection. Throws
    // std::runtime_error("Connection failed: ...").
    void open(const std::string& url, std::unique_ptr<ConnectionHandler> handler);
    // The calling thread becomes the stream's own and runs its loop until every connection has
    // ended or stop() was called. Returns the text of the error that ended it, if any.
    std::string run();

    // ---- any thread ----
    bool is_open();  // the current connection is open
    // A request on the current connection, its answer awaited there (Session::send_request);
    // std::runtime_error("Send failed: ...") when there is none.
    void send_request(const nlohmann::json& value);
    // The same, or false when no connection is open to take it.
    bool send_request_if_open(const nlohmann::json& value);
    // On every open connection (a subscribe keeps a replacement in step); nothing if none.
    void send_if_open(const nlohmann::json& value);
    // Every connection: what was sent goes out, then a close handshake (1000); nothing new opens.
    void request_close();
    void stop();         // ends the event loop now, whatever is pending
    void age_changed();  // max_connection_age was set: the current connection's limit follows
    // A channel was subscribed or unsubscribed: its sequence starts again with its next push.
    void restart_sequence(std::string channel, std::string instrument);
    // A book was tracked or untracked: the stream takes it up now, not at its next push.
    void books_changed();

    // ---- run thread (the sessions) ----
    ws_client& endpoint() { return client; }
    const ThreadOwner& thread() const { return owner; }
    InboundQueue& inbound() { return setup.inbound; }
    ConnectionStats& stats() { return setup.stats; }
    const KeepAlive& keepalive() const { return setup.keepalive; }
    bool paused() const { return setup.inbound.bound_state() == BoundState::paused; }
    // One read's messages from `link`, reconciled with the other connections and queued.
    void accept(Session& link, std::vector<InboundMessage>& batch);
    // One event of `link` (open, close, fail, error), queued in its place among the messages:
    // behind what the switch-over still holds back.
    void queue_event(Session& link, InboundMessage event);
    void on_opened(Session& link);
    void on_ready(Session& link);  // every replayed channel acknowledged
    // The exchange will close `link` (in `closes_in`, when it said; else 0).
    void on_replace(Session& link, const std::string& why, std::chrono::seconds closes_in);
    void on_ended(Session& link);  // its ending event is queued
    // `link` will not open after all, or was asked to close before it opened.
    void on_unwanted(Session& link);
    // The exchange has answered `link`'s request to stop its pushes: nothing more will come.
    void on_drained(Session& link);
    FeedState state_now() const { return state; }

private:
    using Clock = std::chrono::steady_clock;
    struct Due {  // a switch-over asked for while another was under way
        std::string why;
        Clock::time_point close_expected;
    };
    bool go(FeedEvent event);  // the transition, if the table has one
    bool holds(const Session& link) const;
    void deliver(std::vector<InboundMessage>& batch);
    void arm_release();
    void release_due();
    void queue_what_waited();
    void begin_switch(const std::string& why, Clock::time_point close_expected);
    void start_attempt();
    void open_replacement();
    void on_not_ready();
    void switch_over();
    void finish_drain();
    void attempt_failed();
    void end_stream();
    void forget_plans();
    void release_readers();
    void end_books();
    void close_all();
    void arm_age();
    void stop_if_nothing_open();
    void pause_reading();
    void resume_reading();
    void lift_bound();
    void keep_within_margin(std::vector<InboundMessage>& batch);
    void overrun();
    std::vector<Session*> links();
    void retire(std::unique_ptr<Session> link);  // caller holds link_mtx

    Setup setup;
    ThreadOwner owner;
    std::string url;

    // Declared first, destroyed last: the timers, the sessions and their handlers live on this
    // endpoint's event loop.
    ws_client client;
    boost::asio::steady_timer age_timer;
    boost::asio::steady_timer pace_timer;
    boost::asio::steady_timer ready_timer;
    boost::asio::steady_timer bound_timer;
    AsioRunLoop loop;
    std::unique_ptr<RunTimer> release_timer;  // what the reconciler holds back, at its deadline
    BookKeeper books;  // its timers and REST calls live on `loop`

    std::mutex link_mtx;
    std::unique_ptr<Session> current;      // guarded by link_mtx (changed on the run thread)
    std::unique_ptr<Session> replacement;  // guarded by link_mtx (changed on the run thread)
    std::unique_ptr<Session> retiring;  // run thread: replaced, delivering its last messages
    std::vector<std::unique_ptr<Session>> retired;  // run thread: ended, or closing

    // Run thread only.
    bool looping = false;  // run() is in its loop: events may wait their turn
    FeedState state = FeedState::live;
    Reconciler reconciler;
    SequenceCheck sequences;
    std::vector<InboundMessage> held;  // the replacement's messages, until the old one is done
    std::string switch_why;            // the switch-over under way
    std::optional<Due> due;            // the next one, asked for meanwhile
    int attempts = 0;                  // replacements tried in this switch-over
    Clock::time_point close_expected;  // announced by the exchange, or max
    Clock::time_point opened_at;       // the current connection's open
    // limit_queue's backpressure is the queue's bound state (inbound_states.hpp): connections
    // read, stop reading while the queue is over its bound, or read on past it (lifted) so that
    // a warning of a planned close does not wait behind the backlog for longer than a third of
    // its lead; never past the bound's margin: there every connection stops reading for good
    // and is closed, and what did not fit is not kept (overrun).
};

}  // namespace corvane
