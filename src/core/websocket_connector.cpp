#include "core/websocket_connector.hpp"

#include <stdexcept>

#include "core/live_connectors.hpp"
#include "core/output.hpp"
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
        print_line(Stream::err, std::string("WebSocket error: ") + e.what());
    }
}

void WebSocketConnector::shutdown() noexcept {
    try {
        LiveConnectors::remove(this);
        disconnect();
    } catch (const std::exception& e) {
        print_line(Stream::err, std::string("WebSocket error: ") + e.what());
    }
}

void WebSocketConnector::connect(const std::string& url) {
    const std::uint64_t epoch = disconnects.load();
    // Refused before the exchange is asked for anything (a MEXC listen key); start() checks
    // again, against a connect on another thread meanwhile.
    if (inbound.live()) throw std::runtime_error("Connection failed: already connected");
    Attempt attempt = prepare(url);
    const std::string lease = attempt.lease;
    bool asked = false;
    try {
        start(std::move(attempt), epoch, asked);
    } catch (...) {
        if (asked) on_connection_created();
        abandon(lease);
        throw;
    }
    on_connection_created();  // outside life_mtx: it prints, and a sink may call into Python
    adopt(lease);
}

void WebSocketConnector::start(Attempt attempt, std::uint64_t epoch, bool& asked) {
    std::lock_guard<std::mutex> life(life_mtx);
    if (disconnects.load() != epoch) {
        throw std::runtime_error("Connection failed: disconnect() was called meanwhile");
    }
    if (inbound.live()) throw std::runtime_error("Connection failed: already connected");
    // A connection that ended by itself leaves its finished run thread behind.
    if (run_thread.joinable()) run_thread.join();

    auto next = std::make_unique<Session>(inbound, counts, keepalive, std::move(attempt.handler),
                                          counts.attempts.fetch_add(1) + 1);
    asked = true;
    next->open(attempt.url);
    Session& current = *next;
    {
        std::lock_guard<std::mutex> lock(slot_mtx);
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
        std::unique_lock<std::mutex> lock(slot_mtx);
        if (session) session->request_close();
        // A peer that does not answer the close frame is not waited for long.
        const bool closed = slot_cv.wait_for(lock, kCloseWait, [this] { return session_done; });
        if (!closed && session) session->stop();
    }
    run_thread.join();
}

// The run thread: the connection's whole life, then its end, however it ended.
void WebSocketConnector::run_session(Session& current) {
    ConnectionThreadScope connection_thread;  // its lines reach a sink on the writer thread
    std::string error;
    {
        ScopedPayloadBuffers recycled(inbound.buffers());
        error = current.run();
    }
    if (!error.empty() && running.exchange(false)) {
        print_line(Stream::err, "WebSocket error: " + error);
    }
    release_session();
}

// The connection is over: its session goes, and readers drain what is queued and end.
void WebSocketConnector::release_session() {
    std::unique_ptr<Session> ended;
    {
        std::lock_guard<std::mutex> lock(slot_mtx);
        ended = std::move(session);
    }
    ended.reset();  // outside slot_mtx: tearing down the loop may wait for its resolver
    inbound.end_stream();
    {
        std::lock_guard<std::mutex> lock(slot_mtx);
        session_done = true;
    }
    slot_cv.notify_all();
}

BaseExchangeConnector::Stats WebSocketConnector::stats() {
    return Stats{inbound.counts(), counts.opened.load(), is_connected(), counts.last_error(),
                 counts.pings_sent.load()};
}

bool WebSocketConnector::is_connected() {
    std::lock_guard<std::mutex> lock(slot_mtx);
    return session && session->is_open();
}

void WebSocketConnector::send_message(const nlohmann::json& msg) {
    std::lock_guard<std::mutex> lock(slot_mtx);
    if (!session) throw std::runtime_error("Send failed: Bad Connection");
    session->send_json(msg);
}

void WebSocketConnector::require_session() {
    std::lock_guard<std::mutex> lock(slot_mtx);
    if (!session) throw std::runtime_error("Send failed: Bad Connection");
}

void WebSocketConnector::send_if_open(const nlohmann::json& msg) {
    std::lock_guard<std::mutex> lock(slot_mtx);
    if (session) session->send_if_open(msg);
}

}  // namespace corvane
