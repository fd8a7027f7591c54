#include "core/connector/websocket_connector.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/connector/live_connectors.hpp"
#include "core/rest/request_errors.hpp"
#include "core/stream/feed.hpp"
#include "core/text/output.hpp"

namespace corvane {
namespace {

// How long disconnect() waits for the peer to answer its close frame.
constexpr std::chrono::milliseconds kCloseWait{2000};
// The longest keep-alive time taken: about 31 years, "as long as can be waited".
constexpr double kLongestKeepAliveS = 1e9;

// `seconds` of a keep-alive setting; 0 ms for nullopt (off).
std::chrono::milliseconds keepalive_time(std::optional<double> seconds, const char* name) {
    if (!seconds) return std::chrono::milliseconds(0);
    if (!(*seconds > 0)) {
        throw std::invalid_argument(std::string(name) +
                                    " must be a number of seconds > 0 or None");
    }
    const double ms = std::ceil(std::min(*seconds, kLongestKeepAliveS) * 1000);
    return std::chrono::milliseconds(static_cast<std::int64_t>(ms));
}

}  // namespace

WebSocketConnector::WebSocketConnector(KeepAlive keepalive, std::optional<double> max_age)
    : keepalive(std::move(keepalive)),
      max_age_s(max_age.value_or(std::numeric_limits<double>::infinity())) {
    LiveConnectors::add(this);
}

// Derived destructors have shut down already; this only guards against one that did not, and
// calls nothing virtual: the derived part is gone.
WebSocketConnector::~WebSocketConnector() {
    try {
        LiveConnectors::remove(this);
        stop_feed();
        books.retire_all();
    } catch (const std::exception& e) {
        print_line(Stream::err, std::string("WebSocket error: ") + e.what());
    }
}

void WebSocketConnector::shutdown() noexcept {
    try {
        LiveConnectors::remove(this);
        disconnect();
        books.retire_all();  // a program's waits on them end now
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
    if (ConnectPacer* paced = pacer()) std::this_thread::sleep_until(paced->reserve());
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

    auto next = std::make_unique<Feed>(
        Feed::Setup{inbound, counts, keepalive, max_age_s, pacer(), std::move(attempt.again),
                    attempt.traits, attempt.warning, attempt.books});
    asked = true;
    next->open(attempt.url, std::move(attempt.handler));
    Feed& stream = *next;
    {
        std::lock_guard<std::mutex> lock(slot_mtx);
        feed = std::move(next);
        feed_done = false;
    }
    running.store(true);
    inbound.open_stream();
    try {
        run_thread = std::thread([this, &stream] { run_feed(stream); });
    } catch (...) {
        running.store(false);
        release_feed();
        throw;
    }
}

void WebSocketConnector::disconnect() {
    stop_feed();
    after_disconnect();
}

void WebSocketConnector::stop_feed() {
    std::lock_guard<std::mutex> life(life_mtx);
    disconnects.fetch_add(1);
    running.store(false);
    end_feed();
}

void WebSocketConnector::end_feed() {
    if (!run_thread.joinable()) return;
    {
        std::unique_lock<std::mutex> lock(slot_mtx);
        if (feed) feed->request_close();
        // A peer that does not answer the close frame is not waited for long.
        const bool closed = slot_cv.wait_for(lock, kCloseWait, [this] { return feed_done; });
        if (!closed && feed) feed->stop();
    }
    run_thread.join();
}

// The run thread: the stream's whole life, then its end, however it ended.
void WebSocketConnector::run_feed(Feed& stream) {
    ConnectionThreadScope connection_thread;  // its lines reach a sink on the writer thread
    std::string error;
    {
        ScopedPayloadBuffers recycled(inbound.buffers());
        error = stream.run();
    }
    if (!error.empty() && running.exchange(false)) {
        print_line(Stream::err, "WebSocket error: " + error);
    }
    release_feed();
}

// The stream is over: it goes, and readers drain what is queued and end.
void WebSocketConnector::release_feed() {
    std::unique_ptr<Feed> ended;
    {
        std::lock_guard<std::mutex> lock(slot_mtx);
        ended = std::move(feed);
    }
    ended.reset();  // outside slot_mtx: tearing down the loop may wait for its resolver
    inbound.end_stream();
    {
        std::lock_guard<std::mutex> lock(slot_mtx);
        feed_done = true;
    }
    slot_cv.notify_all();
}

void WebSocketConnector::restart_sequence(std::string channel, std::string instrument) {
    std::lock_guard<std::mutex> lock(slot_mtx);
    if (feed) feed->restart_sequence(std::move(channel), std::move(instrument));
}

BaseExchangeConnector::Stats WebSocketConnector::stats() {
    Stats out{inbound.counts(),         counts.opened.load(), is_connected(), counts.last_error(),
              counts.pings_sent.load(), counts.gaps.load(),   std::nullopt,   {}};
    for (const auto& book : books.all())
        out.books.push_back(Stats::Book{book->key, book->status()});
    return out;
}

std::shared_ptr<book::KeptBook> WebSocketConnector::track_book(const std::string& channel,
                                                               const std::string& instrument,
                                                               bool deliver) {
    const BookRules rules = book_rules(channel, instrument);
    auto kept = books.track(book::BookKey{channel, instrument}, [&] {
        return std::make_shared<book::KeptBook>(book::BookKey{channel, instrument}, rules.rule,
                                                rules.limits, deliver);
    });
    books_changed();
    return kept;
}

bool WebSocketConnector::untrack_book(const std::string& channel, const std::string& instrument) {
    const bool was = books.untrack(channel, instrument);
    if (was) books_changed();
    return was;
}

void WebSocketConnector::books_changed() {
    std::lock_guard<std::mutex> lock(slot_mtx);
    if (feed) feed->books_changed();
}

std::optional<double> WebSocketConnector::max_connection_age() const {
    const double seconds = max_age_s.load();
    if (std::isinf(seconds)) return std::nullopt;
    return seconds;
}

void WebSocketConnector::set_max_connection_age(std::optional<double> seconds) {
    if (seconds && !(*seconds > 0 && std::isfinite(*seconds))) {
        throw std::invalid_argument("max_connection_age must be a positive number of seconds");
    }
    max_age_s.store(seconds.value_or(std::numeric_limits<double>::infinity()));
    std::lock_guard<std::mutex> lock(slot_mtx);
    if (feed) feed->age_changed();
}

void WebSocketConnector::set_keepalive(std::optional<double> ping_interval,
                                       std::optional<double> ping_timeout) {
    const auto interval = keepalive_time(ping_interval, "ping_interval");
    const auto timeout = keepalive_time(ping_timeout, "ping_timeout");
    std::lock_guard<std::mutex> life(life_mtx);
    keepalive.interval = interval;
    keepalive.ping_timeout = timeout;
    keepalive.dead_after = std::chrono::milliseconds(0);  // the time-out counts from a ping
}

bool WebSocketConnector::is_connected() {
    std::lock_guard<std::mutex> lock(slot_mtx);
    return feed && feed->is_open();
}

void WebSocketConnector::send_message(const nlohmann::json& msg) {
    std::lock_guard<std::mutex> lock(slot_mtx);
    if (!feed) throw RequestNotSent("Send failed: Bad Connection");
    feed->send_request(msg);
}

void WebSocketConnector::require_session() {
    std::lock_guard<std::mutex> lock(slot_mtx);
    if (!feed) throw RequestNotSent("Send failed: Bad Connection");
}

void WebSocketConnector::send_if_open(const nlohmann::json& msg) {
    std::lock_guard<std::mutex> lock(slot_mtx);
    if (feed) feed->send_if_open(msg);
}

}  // namespace corvane
