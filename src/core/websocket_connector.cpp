#include "core/websocket_connector.hpp"

#include <boost/asio/post.hpp>
#include <nlohmann/json.hpp>

#include <iostream>
#include <stdexcept>

#include "core/live_connectors.hpp"
#include "core/session.hpp"

namespace corvane {
namespace {

// How long disconnect() waits for the peer to answer its close frame.
constexpr std::chrono::milliseconds kCloseWait{2000};

}  // namespace

WebSocketConnector::WebSocketConnector(KeepAlive keepalive) : keepalive(std::move(keepalive)) {
    LiveConnectors::add(this);
}

// Derived destructors have shut down already; this only guards against one that did not, and
// calls nothing virtual: the derived part is gone.
WebSocketConnector::~WebSocketConnector() {
    try {
        LiveConnectors::remove(this);
        stop_session();
    } catch (const std::exception& e) {
        std::cerr << "WebSocket error: " << e.what() << std::endl;
    }
}

void WebSocketConnector::shutdown() noexcept {
    try {
        LiveConnectors::remove(this);
        disconnect();
    } catch (const std::exception& e) {
        std::cerr << "WebSocket error: " << e.what() << std::endl;
    }
}

void WebSocketConnector::connect(const std::string& url) {
    const std::uint64_t epoch = disconnects.load();
    Attempt attempt = prepare(url);
    const std::string lease = attempt.lease;
    try {
        start(std::move(attempt), epoch);
    } catch (...) {
        abandon(lease);
        throw;
    }
    adopt(lease);
}

void WebSocketConnector::start(Attempt attempt, std::uint64_t epoch) {
    std::lock_guard<std::mutex> life(life_mtx);
    if (disconnects.load() != epoch) {
        throw std::runtime_error("Connection failed: disconnect() was called meanwhile");
    }
    if (inbound.live()) throw std::runtime_error("Connection failed: already connected");
    // A connection that ended by itself leaves its finished run thread behind.
    if (run_thread.joinable()) run_thread.join();

    auto next = std::make_unique<Session>(inbound, mtx, keepalive, std::move(attempt.handler));
    next->open(attempt.url, [this] { on_connection_created(); });
    Session& current = *next;
    {
        std::lock_guard<std::mutex> lock(mtx);
        session = std::move(next);
        session_done = false;
    }
    running.store(true);
    inbound.open_stream();
    try {
        run_thread = std::thread([this, &current] { run_session(current); });
    } catch (...) {
        running.store(false);
        release_session();
        throw;
    }
}

void WebSocketConnector::disconnect() {
    stop_session();
    after_disconnect();
}

void WebSocketConnector::stop_session() {
    std::lock_guard<std::mutex> life(life_mtx);
    disconnects.fetch_add(1);
    running.store(false);
    end_session();
}

void WebSocketConnector::end_session() {
    if (!run_thread.joinable()) return;
    {
        std::unique_lock<std::mutex> lock(mtx);
        if (session) session->request_close();
        // A peer that does not answer the close frame is not waited for long.
        const bool closed = session_cv.wait_for(lock, kCloseWait, [this] { return session_done; });
        if (!closed && session) session->stop();
    }
    run_thread.join();
}

void WebSocketConnector::run_session(Session& current) {
    {
        ScopedPayloadBuffers recycled(inbound.buffers());
        try {
            current.run();
        } catch (const std::exception& e) {
            if (running.exchange(false)) std::cerr << "WebSocket error: " << e.what() << std::endl;
        }
    }
    release_session();
}

// The connection is over: its session goes, and readers drain what is queued and end.
void WebSocketConnector::release_session() {
    std::unique_ptr<Session> ended;
    {
        std::lock_guard<std::mutex> lock(mtx);
        ended = std::move(session);
    }
    ended.reset();  // outside mtx: tearing down the loop may wait for its resolver
    inbound.end_stream();
    {
        std::lock_guard<std::mutex> lock(mtx);
        session_done = true;
    }
    session_cv.notify_all();
}

// A reader that would wait runs the loop itself meanwhile: a message that arrives is decrypted,
// framed and queued on the thread that wants it, with no second wake-up. The run thread parks
// inside the loop until the reader hands it back.
void WebSocketConnector::serve_while_waiting(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mtx);
    if (!session || session_done || handover != Handover::none) return;  // another reader serves
    Session& current = *session;  // stays: it goes only once its loop has ended
    handover = Handover::requested;
    boost::asio::post(current.io(), [this] { park(); });
    handover_cv.wait_until(lock, deadline,
                           [this] { return handover == Handover::parked || session_done; });
    if (handover != Handover::parked) {
        handover = Handover::none;  // a park that comes later returns at once
        return;
    }
    lock.unlock();
    serve(current, deadline);
    lock.lock();
    handover = Handover::released;
    lock.unlock();
    handover_cv.notify_all();
}

// Run thread, as a handler of the loop: waits there while a reader runs the loop.
void WebSocketConnector::park() {
    std::unique_lock<std::mutex> lock(mtx);
    if (handover != Handover::requested) return;  // the reader stopped asking
    handover = Handover::parked;
    handover_cv.notify_all();
    handover_cv.wait(lock, [this] { return handover == Handover::released; });
    handover = Handover::none;
}

// A reader's thread: the loop's handlers, until something is queued, the stream ends, the loop
// stops or the deadline passes.
void WebSocketConnector::serve(Session& current, std::chrono::steady_clock::time_point deadline) {
    ScopedPayloadBuffers recycled(inbound.buffers());
    auto& loop = current.io();
    try {
        while (inbound.idle() && !loop.stopped() && std::chrono::steady_clock::now() < deadline) {
            loop.run_one_until(deadline);
        }
    } catch (const std::exception& e) {  // as on the run thread: the error ends the connection
        if (running.exchange(false)) std::cerr << "WebSocket error: " << e.what() << std::endl;
        current.stop();
    }
}

bool WebSocketConnector::is_connected() {
    std::lock_guard<std::mutex> lock(mtx);
    return connected_locked();
}

bool WebSocketConnector::connected_locked() const {
    return session && session->is_open();
}

void WebSocketConnector::send_message(const nlohmann::json& msg) {
    send_text(msg.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict));
}

void WebSocketConnector::send_text(const std::string& text) {
    if (!session) throw std::runtime_error("Send failed: Bad Connection");
    session->send_text(text);
}

}  // namespace corvane
