#pragma once
// WebSocketConnector: the WebSocket side both exchange connectors share. It opens connections,
// each as a Session (session.hpp) run on the run thread, ends them gracefully, sends frames,
// and asks the exchange classes, through the hooks below, for what is exchange-specific.
//
// Threads and locks:
// - life_mtx serialises connect, disconnect and destruction across Python threads. Nothing
//   that can block (a REST request) happens under it; joining the run thread does, and the run
//   thread never takes life_mtx.
// - mtx guards `session`, the exchanges' registries and every send. It is never held while
//   printing or while joining a thread.
// - Order: life_mtx, then mtx, then the inbound queue's own locks.
// The run thread owns the current Session: it runs its loop and destroys it when the
// connection has ended, however it ended. A reader that would wait may borrow the loop
// meanwhile (serve_while_waiting): the run thread then stands by, parked inside the loop, so
// that exactly one thread runs the loop's handlers at any time; the hand-over goes through mtx.
// A reader on an event loop borrows it the same way, but without blocking (request_loan and
// the rest): its loop watches the socket and runs what is ready. Since the loop thread only
// runs the handlers when the socket is readable, anything else that needs the loop (a send, a
// close, a timer) has the run thread take the loop back: another thread's send or close at
// once, timers within kLoanLimit.

#include <nlohmann/json_fwd.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/base_connector.hpp"
#include "core/connection_handler.hpp"
#include "core/keepalive.hpp"

namespace corvane {

class Session;

class WebSocketConnector : public BaseExchangeConnector {
public:
    ~WebSocketConnector() override;

    void connect(const std::string& url) override;
    // Everything already sent goes out, then a close handshake (1000) waited for at most about
    // two seconds, then the connection is dropped and the run thread joined.
    void disconnect() override;

    bool is_connected();  // a connection is open
    bool is_running() const { return running.load(); }

protected:
    explicit WebSocketConnector(KeepAlive keepalive);

    // Ends the connection and forgets the connector. Derived destructors call it first, so that
    // no hook runs on a half-destroyed object.
    void shutdown() noexcept;

    // What a connection attempt needs from the exchange.
    struct Attempt {
        std::string url;                             // the URL to open
        std::unique_ptr<ConnectionHandler> handler;  // the exchange's side of the connection
        std::string lease;  // what the attempt holds at the exchange (MEXC: its listen key)
    };
    // Python thread, no lock held (it may block): the attempt for the caller's `url`.
    virtual Attempt prepare(const std::string& url) = 0;
    // Python thread: right after the client was asked for the connection, even if that failed.
    virtual void on_connection_created() {}
    // Python thread: the connection of `lease` has started / will never start.
    virtual void adopt(const std::string& /*lease*/) {}
    virtual void abandon(const std::string& /*lease*/) {}
    // Python thread, no lock held: after disconnect() and at destruction.
    virtual void after_disconnect() {}

    // Send one JSON value (compact, raw UTF-8, strict) or one text frame on the current
    // connection. The caller holds mtx.
    void send_message(const nlohmann::json& msg);
    void send_text(const std::string& text);
    // Whether a connection is open; the caller holds mtx.
    bool connected_locked() const;

    void serve_while_waiting(std::chrono::steady_clock::time_point deadline) override;

public:
    bool request_loan(int fd) override;
    Loan loan(int fd) override;
    int loan_socket(int fd) override;
    int serve_loan(int fd) override;
    void end_loan(int fd) override;

protected:
    std::mutex mtx;

private:
    void start(Attempt attempt, std::uint64_t epoch);
    void run_session(Session& current);
    void stop_session();
    void end_session();
    void release_session();
    void park();
    void wait_parked(std::unique_lock<std::mutex>& lock);
    void serve(Session& current, std::chrono::steady_clock::time_point deadline);
    void run_ready(Session& current) noexcept;
    // Caller holds mtx: another thread has work for the loop; a loan ends so that it runs.
    void take_loop_back();

    const KeepAlive keepalive;
    std::atomic<bool> running{false};
    std::atomic<std::uint64_t> disconnects{0};  // lets a connect notice a disconnect() meanwhile
    std::mutex life_mtx;
    std::thread run_thread;              // guarded by life_mtx
    std::unique_ptr<Session> session;    // guarded by mtx
    bool session_done = true;            // guarded by mtx: the run thread has let go of it
    std::condition_variable session_cv;  // with mtx: signals session_done
    // Who runs the loop: the run thread (none), or a reader that asked for it (requested), got
    // it (parked: the run thread waits inside the loop) and gives it back (released).
    enum class Handover { none, requested, parked, released };
    Handover handover = Handover::none;   // guarded by mtx
    std::condition_variable handover_cv;  // with mtx
    // A loan (guarded by mtx): the borrower's eventfd (-1: the hand-over, if any, is to a
    // blocking reader), whether its loop thread is running handlers now, and whether the run
    // thread wants the loop back.
    int loan_fd = -1;
    bool loan_busy = false;
    bool reclaim = false;
};

}  // namespace corvane
