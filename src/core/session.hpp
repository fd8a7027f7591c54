#pragma once
// Session: one WebSocket connection, from connect() until it has ended, however it ends (peer
// close, failure, error, disconnect(), destruction). It owns the client endpoint with its event
// loop, the connection handle, the keep-alive timer and every per-connection flag, and the
// exchange's handler for this connection. Nothing of a connection outlives its Session.
//
// Threads: built and opened on a Python thread inside connect(). run() makes the calling thread
// the connection's own: every WebSocket handler, the timer and the exchange's handler run there
// and nowhere else (checked in debug and sanitizer builds). Other threads only send, ask for the
// close and stop the loop (the calls under "any thread"); `send_mtx` guards what a send needs.

#include <boost/asio/steady_timer.hpp>
#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/client_config.hpp"
#include "core/connection_handler.hpp"
#include "core/connection_stats.hpp"
#include "core/inbound_queue.hpp"
#include "core/keepalive.hpp"
#include "core/thread_owner.hpp"

namespace corvane {

class Session {
public:
    // `number`: the connector's count of connection attempts, this one included.
    Session(InboundQueue& inbound, ConnectionStats& stats, const KeepAlive& keepalive,
            std::unique_ptr<ConnectionHandler> handler, std::uint32_t number);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Python thread: creates the connection to `url` and queues its opening on the loop. Throws
    // std::runtime_error("Connection failed: ...").
    void open(const std::string& url);
    // The calling thread becomes the connection's own and runs its loop until the connection
    // has ended or stop() was called. Returns the text of the error that ended it, if any. The
    // connection's events (open, then one of close, fail or error) are queued in order with its
    // messages.
    std::string run();

    // ---- any thread ----
    bool is_open();
    // One text frame; throws std::runtime_error("Send failed: ...").
    void send_text(const std::string& text);
    // One JSON value as a text frame: compact, raw UTF-8, strict.
    void send_json(const nlohmann::json& value);
    // Sends `value` if the connection is open; false (nothing sent) if it is not.
    bool send_if_open(const nlohmann::json& value);
    // Everything already sent goes out, then a close handshake (1000); a connection that is
    // not open yet is given up at once.
    void request_close();
    // Ends the event loop now, whatever is pending.
    void stop();

    // ---- run thread ----
    // Queues one inbound message for the readers.
    void deliver(std::string& payload, bool binary);
    // Closes the connection with a close handshake (at once if it is not open).
    void close(std::uint16_t code, const std::string& reason);
    boost::asio::io_context& io();
    const ThreadOwner& thread() const { return owner; }

private:
    void on_open(const websocketpp::connection_hdl& handle);
    void on_message(std::string& payload, bool binary);
    void on_close();
    void on_fail(const websocketpp::connection_hdl& handle);
    void arm_timer();
    void on_tick();
    void ping();
    void drop_as_dead();
    void set_no_delay(const websocketpp::connection_hdl& handle);
    // The messages of one read go to the queue together, under one lock, with one wake-up.
    void flush();
    void pause_reading();
    void resume_reading();
    // Queues an event; an ending one (close, fail, error) only if none has ended it yet.
    void queue_event(InboundMessage::Kind kind, std::string reason, std::int32_t code = -1,
                     bool by_peer = false);
    std::string close_reason(const ws_client::connection_ptr& con);
    std::string failure_reason(const ws_client::connection_ptr& con);
    ws_client::connection_ptr connection();     // run thread
    void send_locked(const std::string& text);  // caller holds send_mtx

    InboundQueue& inbound;
    ConnectionStats& stats;      // the connector's, as `keepalive`
    const KeepAlive& keepalive;  // the connector's; it outlives every session
    const std::uint32_t number;
    ThreadOwner owner;

    // Declared first, destroyed last: the timer and the handler's own timers and requests live
    // on this endpoint's event loop.
    ws_client endpoint;
    std::mutex send_mtx;
    websocketpp::connection_hdl hdl;  // guarded by send_mtx (written on the run thread only)
    bool opened = false;              // guarded by send_mtx (written on the run thread only)
    boost::asio::steady_timer timer;
    KeepAliveSchedule schedule;

    // Run thread only.
    std::uint64_t arrivals = 0;
    unsigned pongs_expected = 0;
    bool ascii_in_flight = false;         // the text message being handled is pure ASCII
    std::vector<InboundMessage> pending;  // this read's messages, not queued yet
    std::int64_t read_ns = 0;             // when this read's first message was complete
    ws_client::connection_ptr paused;     // while the queue is over its limit: reading stops
    bool closing_here = false;            // this side began the close
    bool ended = false;                   // an ending event is queued
    std::string dead_reason;              // set when the keep-alive gave the peer up

    std::unique_ptr<ConnectionHandler> handler;
};

}  // namespace corvane
