#include "core/feed.hpp"

#include <boost/asio/post.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/output.hpp"
#include "core/session.hpp"
#include "core/tls_context.hpp"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAttempts = 2;  // replacements tried per switch-over

boost::asio::io_context& prepared_loop(ws_client& endpoint) {
    endpoint.clear_access_channels(websocketpp::log::alevel::all);
    endpoint.init_asio();
    return endpoint.get_io_service();
}

std::int64_t wall_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Feed::Feed(Setup setup)
    : setup(std::move(setup)),
      age_timer(prepared_loop(client)),
      pace_timer(client.get_io_service()),
      ready_timer(client.get_io_service()) {
    client.set_tls_init_handler(
        [](websocketpp::connection_hdl) { return make_websocket_tls_context(); });
}

Feed::~Feed() = default;

void Feed::open(const std::string& first_url, std::unique_ptr<ConnectionHandler> handler) {
    url = first_url;
    auto link =
        std::make_unique<Session>(*this, std::move(handler), setup.stats.attempts.fetch_add(1) + 1);
    link->open(url);
    std::lock_guard<std::mutex> lock(link_mtx);
    current = std::move(link);
}

std::string Feed::run() {
    owner.claim();
    std::string error;
    try {
        client.run();
    } catch (const std::exception& e) {
        error = e.what();
    }
    for (Session* link : links())
        link->end_unfinished(error);
    setup.inbound.resumed();  // a resume must not reach this loop any more
    return error;
}

// ---- any thread ----

bool Feed::is_open() {
    std::lock_guard<std::mutex> lock(link_mtx);
    return current && current->is_open();
}

void Feed::send_json(const nlohmann::json& value) {
    std::lock_guard<std::mutex> lock(link_mtx);
    if (!current) throw std::runtime_error("Send failed: Bad Connection");
    current->send_json(value);
}

void Feed::send_if_open(const nlohmann::json& value) {
    std::lock_guard<std::mutex> lock(link_mtx);
    for (Session* link : {current.get(), replacement.get()}) {
        if (link) link->send_if_open(value);
    }
}

void Feed::request_close() {
    boost::asio::post(client.get_io_service(), [this] { close_all(); });
}

void Feed::stop() {
    client.stop();
}

void Feed::age_changed() {
    boost::asio::post(client.get_io_service(), [this] { arm_age(); });
}

// ---- run thread: messages ----

void Feed::accept(Session& link, std::vector<InboundMessage>& batch) {
    if (reconciler.active()) reconciler.filter(link.id(), batch, Clock::now());
    InboundQueue& queue = setup.inbound;
    const bool reader_waits = !batch.empty() && queue.push_all(batch);
    batch.clear();
    if (!reading_paused && queue.over_limit()) pause_reading();
    if (reader_waits) queue.wake();
}

// Only this thread reads and resumes: a reader that drains the queue below half its limit asks
// for the resume through the loop.
void Feed::pause_reading() {
    const bool paused = setup.inbound.pause(
        [this] { boost::asio::post(client.get_io_service(), [this] { resume_reading(); }); });
    if (!paused) return;
    reading_paused = true;
    for (Session* link : links()) {
        if (link != replacement.get()) link->pause_reading();
    }
}

void Feed::resume_reading() {
    CORVANE_ON_RUN_THREAD(owner);
    setup.inbound.resumed();
    reading_paused = false;
    for (Session* link : links())
        link->resume_reading();
}

// ---- run thread: the connections' lives ----

// A replacement reads until it is ready (its login and acknowledgements must come in): a stream
// held back by limit_queue still switches over.
void Feed::on_opened(Session& link) {
    if (reading_paused && &link != replacement.get()) link.pause_reading();
    if (&link == current.get()) {
        opened_at = Clock::now();
        arm_age();
    }
    count_links();
}

void Feed::on_replace(Session& link, const std::string& why, std::chrono::seconds closes_in) {
    if (&link != current.get()) return;
    begin_switch(why, closes_in);
}

void Feed::on_ready(Session& link) {
    if (&link != replacement.get() || closing || over) return;
    ready_timer.cancel();
    switch_over();
}

void Feed::on_ended(Session& link) {
    if (&link == replacement.get()) {
        ready_timer.cancel();
        {
            std::lock_guard<std::mutex> lock(link_mtx);
            retire(std::move(replacement));
        }
        attempt_failed();
    } else if (&link == current.get() && (closing || switch_why.empty())) {
        end_stream();
    }
    // A current connection that ended during a switch-over leaves the replacement to take over.
    count_links();
    if (over) release_readers();
    if (closing) stop_if_nothing_open();
}

void Feed::on_unwanted(Session& /*link*/) {
    if (closing) stop_if_nothing_open();
}

// ---- run thread: the switch-over ----

void Feed::begin_switch(const std::string& why, std::chrono::seconds closes_in) {
    CORVANE_ON_RUN_THREAD(owner);
    if (closing || over || !switch_why.empty()) return;
    switch_why = why;
    attempts = 0;
    close_expected = closes_in.count() > 0 ? Clock::now() + closes_in : Clock::time_point::max();
    // Connections retired by earlier switch-overs have long finished with their handlers.
    retired.erase(std::remove_if(retired.begin(), retired.end(),
                                 [](const auto& link) { return link->has_ended(); }),
                  retired.end());
    start_attempt();
}

void Feed::start_attempt() {
    ++attempts;
    pace_timer.expires_at(setup.pacer ? setup.pacer->reserve() : Clock::now());
    pace_timer.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) open_replacement();
    });
}

void Feed::open_replacement() {
    CORVANE_ON_RUN_THREAD(owner);
    if (closing || over) return;
    auto link = std::make_unique<Session>(*this, setup.another_handler(),
                                          setup.stats.attempts.fetch_add(1) + 1);
    client.get_elog().forget_failure();
    try {
        link->open(url);
    } catch (const std::exception& e) {
        print_line(Stream::err, std::string("WebSocket error: ") + e.what());
        return attempt_failed();
    }
    {
        std::lock_guard<std::mutex> lock(link_mtx);
        replacement = std::move(link);
    }
    ready_timer.expires_after(kReadyWithin);
    ready_timer.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) on_not_ready();
    });
}

// One still connecting is closed as soon as it opens; websocketpp's own time-outs bound that.
void Feed::on_not_ready() {
    if (replacement) {
        replacement->give_up("not ready within " + std::to_string(kReadyWithin.count()) + " s");
    }
}

// The replacement takes over: sends go to it from now on, then the old connection closes after
// what was sent on it. Its messages still in flight are reconciled with the new one's.
void Feed::switch_over() {
    std::unique_ptr<Session> old;
    {
        std::lock_guard<std::mutex> lock(link_mtx);
        old = std::exchange(current, std::move(replacement));
    }
    InboundMessage event;
    event.kind = InboundMessage::Kind::switched;
    event.payload = std::exchange(switch_why, std::string());
    event.recv_ns = wall_ns();
    event.connection = current->id();
    event.previous = old ? old->id() : 0;
    if (setup.inbound.push(std::move(event))) setup.inbound.wake();
    opened_at = Clock::now();
    arm_age();
    if (reading_paused) current->pause_reading();
    if (!old) return;
    if (!old->has_ended()) old->close(websocketpp::close::status::normal, "");
    std::lock_guard<std::mutex> lock(link_mtx);
    retire(std::move(old));
}

// The old connection runs on until the exchange closes it, unless a second try fits in before.
void Feed::attempt_failed() {
    if (!current || current->has_ended()) return end_stream();
    if (closing || over) return;
    const bool time_left = close_expected - Clock::now() > kReadyWithin;
    if (attempts < kAttempts && time_left) return start_attempt();
    switch_why.clear();
}

void Feed::end_stream() {
    if (over) return;
    over = true;
    switch_why.clear();
    age_timer.cancel();
    pace_timer.cancel();
    ready_timer.cancel();
    release_readers();
}

// Readers end once every connection's ending event is queued (one retiring may still be closing).
void Feed::release_readers() {
    const auto links_now = links();
    const bool all_ended = std::all_of(links_now.begin(), links_now.end(),
                                       [](const Session* link) { return link->has_ended(); });
    if (all_ended) setup.inbound.end_stream();
}

void Feed::close_all() {
    CORVANE_ON_RUN_THREAD(owner);
    closing = true;
    switch_why.clear();
    age_timer.cancel();
    pace_timer.cancel();
    ready_timer.cancel();
    for (Session* link : links()) {
        if (!link->has_ended()) link->close(websocketpp::close::status::normal, "");
    }
    stop_if_nothing_open();
}

void Feed::arm_age() {
    CORVANE_ON_RUN_THREAD(owner);
    age_timer.cancel();
    const double seconds = setup.max_age_s.load();
    if (closing || over || !current || !current->is_open() || !std::isfinite(seconds)) return;
    const auto age = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(std::max(seconds, 0.0)));
    age_timer.expires_at(opened_at + age);
    age_timer.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) begin_switch("age", std::chrono::seconds(0));
    });
}

void Feed::stop_if_nothing_open() {
    for (Session* link : links()) {
        if (link->is_open()) return;
    }
    client.stop();
}

// Messages are matched between connections only while more than one is open (and a little
// after, for the copies still on their way).
void Feed::count_links() {
    std::size_t open = 0;
    for (Session* link : links()) {
        if (link->is_open()) ++open;
    }
    reconciler.set_links(open);
}

std::vector<Session*> Feed::links() {
    std::vector<Session*> all;
    if (current) all.push_back(current.get());
    if (replacement) all.push_back(replacement.get());
    for (const auto& link : retired)
        all.push_back(link.get());
    return all;
}

void Feed::retire(std::unique_ptr<Session> link) {
    if (link) retired.push_back(std::move(link));
}

}  // namespace corvane
