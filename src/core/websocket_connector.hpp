#pragma once
// WebSocketConnector: the WebSocket side both exchange connectors share. It owns the client
// endpoint and the run thread of its event loop, opens and ends connections, sends frames,
// keeps quiet connections alive, and passes connection events to the exchange classes through
// the hooks below.
//
// Locks: life_mtx serialises connect/disconnect across Python threads; mtx (from the base)
// guards the queue, the exchanges' registries, the current handle and every send. Order is
// always life_mtx before mtx, and no thread is joined while mtx is held.

#include <nlohmann/json_fwd.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/base_connector.hpp"
#include "core/silence_tracker.hpp"

namespace corvane {

// What keeps a quiet connection alive, and when silence means it is dead.
struct KeepAlive {
    SilencePolicy silence;
    std::string ping_text;  // sent after silence.ping_after; empty sends nothing
    std::string pong_text;  // the peer's answer to ping_text, consumed instead of queued
};

class WebSocketConnector : public BaseExchangeConnector {
public:
    ~WebSocketConnector() override;

    void connect(const std::string& url) override;
    void disconnect() override;

    bool is_connected() const { return connected.load(); }

protected:
    explicit WebSocketConnector(KeepAlive keepalive);

    // Stops the run thread and the workers. Derived destructors call it first, so that no hook
    // runs on a half-destroyed object.
    void shutdown() noexcept;

    // Python thread, inside connect(): the URL to open for the caller's `url`.
    virtual std::string session_url(const std::string& url) { return url; }
    // Python thread, right after the client was asked for the connection (even if that failed).
    virtual void on_connection_created() {}
    // Python thread: the run thread has just started / the session is being torn down.
    virtual void start_workers() {}
    virtual void join_workers() {}
    // Run thread: the connection opened, a data message arrived, an open connection closed.
    virtual void on_open() = 0;
    virtual void on_message(std::string& payload, bool binary) = 0;
    virtual void on_closed() {}

    // Queues one inbound message for the readers (run thread).
    void deliver(std::string& payload, bool binary);

    // Send one JSON value (compact, raw UTF-8, strict) or one text frame on the current
    // connection. The caller holds mtx, which keeps the client alive while the frame is queued.
    void send_message(const nlohmann::json& msg);
    void send_text(const std::string& text);

    // Worker threads: wait for the connection to open; false if it never will in this session.
    bool wait_until_open();
    // Worker threads: sleep `period` unless the connection closes or the session stops first;
    // true when the period passed with the connection still open.
    bool pause_while_open(std::chrono::milliseconds period);

    std::atomic<bool> connected{false};

private:
    struct Client;

    void run_loop();
    void end_session(bool keep_reusable);
    void session_ended();
    void handle_open(std::weak_ptr<void> hdl);
    void handle_message(std::string& payload, bool binary);
    void refuse_invalid_text();
    void handle_close();
    void handle_fail();
    void arm_watchdog();
    void on_watchdog_tick();

    KeepAlive keepalive;
    std::mutex life_mtx;
    std::unique_ptr<Client> client;  // replaced, under mtx, when a session ends
    std::thread run_thread;
    std::condition_variable ctl_cv;  // with mtx: wakes workers on open, close and stop
    bool stopping = false;           // guarded by mtx
    bool opened = false;             // guarded by mtx: on_open has run in this session
    bool session_used = false;       // guarded by life_mtx

    // Run thread only.
    std::uint64_t arrivals = 0;
    unsigned pongs_expected = 0;
    bool wake_posted = false;
    bool ascii_in_flight = false;  // the text message being handled is pure ASCII
    SilenceTracker silence;
};

}  // namespace corvane
