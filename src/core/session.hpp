#pragma once
// Session: one WebSocket connection, from connect() until it has ended, however it ends (peer
// close, failure, error, disconnect(), destruction). It owns the client endpoint with its event
// loop, the connection handle, the keep-alive timer and every per-connection flag, and the
// exchange's handler for this connection. Nothing of a connection outlives its Session.
//
// Threads: built and opened on the Python thread inside connect(); run(), every WebSocket
// handler, the timer and the exchange's handler then run on the connector's run thread. Other
// threads reach a Session only through its connector, holding the connector's lock `owner_mtx`:
// is_open(), send_text(), request_close(), stop().

#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/client_config.hpp"
#include "core/connection_handler.hpp"
#include "core/inbound_queue.hpp"
#include "core/keepalive.hpp"

namespace corvane {

class Session {
public:
    Session(InboundQueue& inbound, std::mutex& owner_mtx, const KeepAlive& keepalive,
            std::unique_ptr<ConnectionHandler> handler);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Python thread: creates the connection to `url` and queues its opening on the loop;
    // `created` runs once the client was asked for it, before the answer is examined. Throws
    // std::runtime_error("Connection failed: ...").
    void open(const std::string& url, const std::function<void()>& created);
    // Run thread: the event loop, until the connection has ended or stop() was called.
    void run();

    // ---- any thread, holding owner_mtx ----
    bool is_open() const { return opened; }
    // One text frame; throws std::runtime_error("Send failed: ...").
    void send_text(const std::string& text);
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
    // The connection's TCP socket, -1 before there is one. Run thread, or a thread the loop is
    // lent to.
    int socket_fd();
    // The messages received so far (same threads).
    std::uint64_t received() const { return arrivals; }

private:
    void on_open(const websocketpp::connection_hdl& handle);
    void on_message(std::string& payload, bool binary);
    void on_close();
    void on_fail();
    void refuse_invalid_text();
    void arm_timer();
    void on_tick();
    void ping();
    void drop_as_dead();
    void set_no_delay(const websocketpp::connection_hdl& handle);

    InboundQueue& inbound;
    std::mutex& owner_mtx;
    const KeepAlive& keepalive;  // the connector's; it outlives every session

    // Declared first, destroyed last: the timer and the handler's own timers and requests live
    // on this endpoint's event loop.
    ws_client endpoint;
    websocketpp::connection_hdl hdl;  // written on open under owner_mtx
    bool opened = false;              // guarded by owner_mtx (written on the run thread only)
    boost::asio::steady_timer timer;
    KeepAliveSchedule schedule;

    // Run thread only.
    std::uint64_t arrivals = 0;
    unsigned pongs_expected = 0;
    bool wake_posted = false;      // a reader wake-up is queued on the loop
    bool ascii_in_flight = false;  // the text message being handled is pure ASCII

    std::unique_ptr<ConnectionHandler> handler;
};

}  // namespace corvane
