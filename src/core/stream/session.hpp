#pragma once
// Session: one WebSocket connection of a stream (feed.hpp), from its creation until it has
// ended, however it ends (peer close, failure, error, disconnect(), a switch-over). It owns the
// connection handle, the keep-alive timer, its state (core/stream/session_state.hpp: one enum, its
// transitions in one table) and the exchange's handler for this connection. Nothing of a
// connection outlives its Session.
//
// Threads: the first connection of a stream is built and opened on a Python thread inside
// connect(), a replacement on the run thread. Every WebSocket handler, the timer and the
// exchange's handler run on the stream's run thread and nowhere else (checked in debug and
// sanitizer builds). Other threads only send (the calls under "any thread"); `send_mtx` guards
// what a send needs.

#include <boost/asio/steady_timer.hpp>
#include <nlohmann/json_fwd.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/inbound/inbound_queue.hpp"
#include "core/stream/asio_run_loop.hpp"
#include "core/stream/connection_handler.hpp"
#include "core/stream/connection_stats.hpp"
#include "core/stream/keepalive.hpp"
#include "core/stream/run_context.hpp"
#include "core/stream/session_state.hpp"
#include "core/stream/thread_owner.hpp"
#include "core/transport/client_config.hpp"

namespace corvane {

class Feed;

class Session final : public RunContext {
public:
    // `number`: the connector's count of connection attempts, this one included.
    Session(Feed& feed, std::unique_ptr<ConnectionHandler> handler, std::uint32_t number);
    ~Session() override;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Creates the connection to `url` and queues its opening on the loop. Throws
    // std::runtime_error("Connection failed: ..."). The connection's events (open, then one of
    // close, fail or error) are queued in order with its messages.
    void open(const std::string& url);
    std::uint32_t id() const { return number; }

    // ---- any thread ----
    bool is_open();
    // One text frame; throws std::runtime_error("Send failed: ...").
    void send_text(const std::string& text) override;
    // One JSON value as a text frame: compact, raw UTF-8, strict.
    void send_json(const nlohmann::json& value) override;
    // Sends `value` if the connection is open; false (nothing sent) if it is not.
    bool send_if_open(const nlohmann::json& value);
    // A request the exchange answers on this connection (an order): counted until the handler
    // reports its answer, so that a retiring connection is not closed while it is on its way.
    void send_request(const nlohmann::json& value);
    bool send_request_if_open(const nlohmann::json& value);

    // ---- run thread ----
    // Queues one inbound message for the readers.
    void deliver(std::string& payload, bool binary) override;
    // The same, outside a read (a REST callback): queued at once, not with the next read's.
    void deliver_now(std::string& payload, bool binary) override;
    // A request on the stream's current connection, whichever it is now; false if none is open.
    bool send_request_on_stream(const nlohmann::json& value) override;
    // Closes the connection with a close handshake; one not open yet is given up, or closed as
    // soon as it opens.
    void close(std::uint16_t code, const std::string& reason);
    void close(CloseCode code, const std::string& reason) override;
    // The same, with `why` as the reason its close event gives.
    void give_up(const std::string& why);
    // The reader fell too far behind (the queue's bound and margin are full): reading stops for
    // good and the connection is dropped; its close event gives `why`.
    void close_for_bound(const std::string& why);
    // For the exchange's handler: every replayed channel is answered (the connection is ready to
    // take over a stream); the exchange announced that it will close this connection.
    void ready() override;
    void replace(const std::string& why, std::chrono::seconds closes_in) override;
    // A switch-over retires this connection: the exchange's handler asks for its pushes to
    // stop. False when it cannot (the connection is closed at once).
    bool stop_pushes();
    // For the exchange's handler: the exchange has answered that request.
    void drained() override;
    // For the exchange's handler: the answer to a request sent with send_request has come.
    void request_answered() override;
    std::uint32_t unanswered_requests() const override { return requests_out.load(); }
    RunLoop& loop() override { return run_loop; }
    boost::asio::io_context& io();
    const ThreadOwner& thread() const;
    bool has_ended() const { return state == SessionState::ended; }
    // The loop ended first (disconnect() gave up waiting, or an error): the ending event.
    void end_unfinished(const std::string& error);
    void pause_reading();
    void resume_reading();

private:
    void on_open(const websocketpp::connection_hdl& handle);
    void on_message(std::string& payload, bool binary);
    void on_close();
    void on_fail(const websocketpp::connection_hdl& handle);
    void arm_timer();
    void on_tick();
    void ping();
    void drop_as_dead(const std::string& why);
    void set_no_delay(const websocketpp::connection_hdl& handle);
    // The messages of one read go to the queue together, under one lock, with one wake-up.
    void flush();
    // Queues an event; an ending one (close, fail, error) only if none has ended it yet.
    void queue_event(InboundMessage::Kind kind, std::string reason, std::int32_t code = -1,
                     bool by_peer = false);
    std::string close_reason(const ws_client::connection_ptr& con);
    std::string failure_reason(const ws_client::connection_ptr& con);
    ws_client::connection_ptr connection();     // run thread
    void send_locked(const std::string& text);  // caller holds send_mtx
    void send_counted(const std::string& text);  // caller holds send_mtx: a request
    // Run thread: the table's transition, if it has one; returns the state before.
    SessionState go(SessionEvent event);

    Feed& feed;
    InboundQueue& inbound;  // the connector's, as the two below
    ConnectionStats& stats;
    const KeepAlive& keepalive;
    const std::uint32_t number;

    std::mutex send_mtx;
    std::atomic<std::uint32_t> requests_out{0};  // sent with send_request, not answered yet
    websocketpp::connection_hdl hdl;  // guarded by send_mtx (written on the run thread only)
    // Guarded by send_mtx for other threads (written on the run thread only, which reads it
    // without the lock).
    SessionState state = SessionState::connecting;
    boost::asio::steady_timer timer;
    KeepAliveSchedule schedule;
    AsioRunLoop run_loop;  // the handler's posts, timers and REST calls

    // Run thread only.
    std::uint64_t arrivals = 0;
    unsigned pongs_expected = 0;
    bool ascii_in_flight = false;         // the text message being handled is pure ASCII
    std::vector<InboundMessage> pending;  // this read's messages, not queued yet
    std::int64_t read_ns = 0;             // when this read's first message was complete
    ws_client::connection_ptr paused;     // while the queue is over its limit: reading stops
    std::string own_reason;  // why this side ended it (the keep-alive, a switch-over), if it did

    std::unique_ptr<ConnectionHandler> handler;
};

}  // namespace corvane
