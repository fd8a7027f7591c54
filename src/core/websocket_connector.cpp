#include "core/websocket_connector.hpp"

#include <fcntl.h>
#include <sys/eventfd.h>
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
// The longest a loan lasts before the run thread takes the loop back, so that its timers run
// (a borrower that still waits asks again).
constexpr std::chrono::milliseconds kLoanLimit{50};

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
        take_loop_back();
        if (session) session->request_close();
        // A peer that does not answer the close frame is not waited for long.
        const bool closed = session_cv.wait_for(lock, kCloseWait, [this] { return session_done; });
        if (!closed && session) {
            take_loop_back();
            session->stop();
        }
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
    if (loan_fd < 0) {
        handover_cv.wait(lock, [this] { return handover == Handover::released; });
    } else {
        wait_parked(lock);
    }
    handover = Handover::none;
}

// Run thread, parked for a loan: until the borrower gives the loop back, or the run thread
// needs it (another thread's work, the loan limit); then it waits for handlers the borrower is
// running to return, and tells the borrower.
void WebSocketConnector::wait_parked(std::unique_lock<std::mutex>& lock) {
    eventfd_write(loan_fd, 1);  // granted
    handover_cv.wait_for(lock, kLoanLimit,
                         [this] { return handover == Handover::released || reclaim; });
    if (handover == Handover::released) {
        reclaim = false;
        return;
    }
    // The loan limit has passed too: the borrower must stop serving, and a serve under way must
    // tell this thread when it returns, or both would go on waiting for the other.
    reclaim = true;
    handover_cv.wait(lock, [this] { return !loan_busy; });
    reclaim = false;
    if (loan_fd >= 0) eventfd_write(loan_fd, 1);  // taken back
    loan_fd = -1;
}

void WebSocketConnector::take_loop_back() {
    if (loan_fd < 0) return;
    reclaim = true;
    handover_cv.notify_all();
}

bool WebSocketConnector::request_loan(int fd) {
    std::lock_guard<std::mutex> lock(mtx);
    if (!session || session_done || handover != Handover::none) return false;
    handover = Handover::requested;
    loan_fd = fd;
    reclaim = false;
    boost::asio::post(session->io(), [this] { park(); });
    return true;
}

BaseExchangeConnector::Loan WebSocketConnector::loan(int fd) {
    std::lock_guard<std::mutex> lock(mtx);
    if (loan_fd != fd) return Loan::none;
    return handover == Handover::parked ? Loan::lent : Loan::requested;
}

int WebSocketConnector::loan_socket(int fd) {
    std::lock_guard<std::mutex> lock(mtx);
    if (loan_fd != fd || handover != Handover::parked || reclaim) return -1;
    const int socket = session->socket_fd();  // the session stays while the run thread parks
    // A duplicate: should the connection close its socket meanwhile, the number the loop
    // watches still names this socket and no other.
    return socket < 0 ? -1 : fcntl(socket, F_DUPFD_CLOEXEC, 0);
}

int WebSocketConnector::serve_loan(int fd) {
    Session* current = nullptr;
    {
        std::lock_guard<std::mutex> lock(mtx);
        if (loan_fd != fd || handover != Handover::parked || reclaim) return -1;
        loan_busy = true;
        current = session.get();  // stays while the run thread parks
    }
    const std::uint64_t before = current->received();
    run_ready(*current);
    std::lock_guard<std::mutex> lock(mtx);
    loan_busy = false;
    if (reclaim) handover_cv.notify_all();  // the run thread waits for it; else it sleeps on
    // A connection no longer open is closed by the run thread: its socket may have nothing
    // more to be read, and stay readable (at its end) all the same.
    const bool going = current->is_open() && !current->io().stopped() && loan_fd == fd &&
                       handover == Handover::parked && !reclaim;
    return going ? static_cast<int>(current->received() - before) : -1;
}

void WebSocketConnector::end_loan(int fd) {
    std::lock_guard<std::mutex> lock(mtx);
    if (loan_fd != fd) return;
    loan_fd = -1;  // never written again: the borrower may close it
    if (handover == Handover::requested) {
        handover = Handover::none;  // the park, when it comes, returns at once
    } else if (handover == Handover::parked) {
        handover = Handover::released;
        handover_cv.notify_all();
    }
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

// A borrower's thread: the handlers that are ready now.
void WebSocketConnector::run_ready(Session& current) noexcept {
    ScopedPayloadBuffers recycled(inbound.buffers());
    try {
        current.io().poll();
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
    take_loop_back();  // a borrower would run the write only once the socket is readable
}

}  // namespace corvane
