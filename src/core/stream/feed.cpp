#include "core/stream/feed.hpp"

#include <boost/asio/post.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/rest/request_errors.hpp"
#include "core/stream/session.hpp"
#include "core/text/output.hpp"
#include "core/transport/tls_context.hpp"

namespace corvane {
namespace {

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
      ready_timer(client.get_io_service()),
      bound_timer(client.get_io_service()),
      loop(client.get_io_service(), owner),
      books(this->setup.books, loop,
            [this](std::vector<InboundMessage>& batch) { deliver(batch); }),
      reconciler(this->setup.traits),
      sequences(this->setup.traits, this->setup.stats.gaps) {
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
    looping = true;
    try {
        client.run();
    } catch (const std::exception& e) {
        error = e.what();
    }
    looping = false;
    queue_what_waited();
    end_books();  // stopped before its readers were released
    for (Session* link : links())
        link->end_unfinished(error);
    setup.inbound.resumed();  // a resume must not reach this loop any more
    return error;
}

// The loop has stopped: what waited its turn is queued now (the events are not lost with the
// replacement's messages that never took their turn).
void Feed::queue_what_waited() {
    release_timer.reset();
    std::vector<InboundMessage> rest;
    reconciler.release_all(rest);
    for (InboundMessage& message : held) {
        if (message.kind != InboundMessage::Kind::message) rest.push_back(std::move(message));
    }
    held.clear();
    sequences.check(rest);
    if (!rest.empty() && setup.inbound.push_all(rest)) setup.inbound.wake();
}

// ---- any thread ----

bool Feed::is_open() {
    std::lock_guard<std::mutex> lock(link_mtx);
    return current && current->is_open();
}

// Under link_mtx: a switch-over takes over only once the old connection's count is complete.
void Feed::send_request(const nlohmann::json& value) {
    std::lock_guard<std::mutex> lock(link_mtx);
    if (!current) throw RequestNotSent("Send failed: Bad Connection");
    current->send_request(value);
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

void Feed::books_changed() {
    boost::asio::post(client.get_io_service(), [this] { books.refresh(); });
}

void Feed::restart_sequence(std::string channel, std::string instrument) {
    boost::asio::post(client.get_io_service(),
                      [this, channel = std::move(channel), instrument = std::move(instrument)] {
                          sequences.restart(channel, instrument);
                      });
}

bool Feed::send_request_if_open(const nlohmann::json& value) {
    std::lock_guard<std::mutex> lock(link_mtx);
    return current && current->send_request_if_open(value);
}

// ---- run thread: messages ----

bool Feed::go(FeedEvent event) {
    const auto next = feed_transition(state, event);
    if (next) state = *next;
    return next.has_value();
}

// The replacement's messages wait until the old connection has delivered all of its own.
bool Feed::holds(const Session& link) const {
    return (state == FeedState::opening && &link == replacement.get()) ||
           (state == FeedState::draining && &link == current.get());
}

void Feed::accept(Session& link, std::vector<InboundMessage>& batch) {
    if (holds(link)) {
        std::move(batch.begin(), batch.end(), std::back_inserter(held));
        batch.clear();
        return;
    }
    if (reconciler.active()) {
        const auto now = Clock::now();
        reconciler.record(link.id(), batch, now);  // the old connection's only
        reconciler.filter(link.id(), batch, now);  // twins of an earlier one's, still on their way
        arm_release();
    }
    deliver(batch);
}

// While the old connection drains, the events of both wait with the replacement's messages (the
// old one's close after them); otherwise behind what the reconciler holds back. Once the loop
// has ended nothing is held back any more.
void Feed::queue_event(Session& link, InboundMessage event) {
    const bool draining = state == FeedState::draining &&
                          (&link == current.get() || &link == retiring.get());
    if (looping && draining) {
        held.push_back(std::move(event));
        return;
    }
    std::vector<InboundMessage> one;
    one.push_back(std::move(event));
    if (looping && reconciler.active()) {
        reconciler.filter(link.id(), one, Clock::now());
        arm_release();
    }
    deliver(one);
}

// No later message may come to release what waits: a timer does, at the reconciler's deadline.
void Feed::arm_release() {
    const auto due = reconciler.deadline();
    if (due == Clock::time_point::max()) {
        release_timer.reset();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
        std::max(due - Clock::now(), Clock::duration::zero()));
    release_timer = loop.after(wait, [this] { release_due(); });
}

void Feed::release_due() {
    CORVANE_ON_RUN_THREAD(owner);
    std::vector<InboundMessage> out;
    reconciler.release_due(Clock::now(), out);
    deliver(out);
    arm_release();
}

void Feed::deliver(std::vector<InboundMessage>& batch) {
    keep_within_margin(batch);
    sequences.check(batch);
    books.take(batch);
    InboundQueue& queue = setup.inbound;
    const bool reader_waits = !batch.empty() && queue.push_all(batch);
    batch.clear();
    if (queue.bound_state() == BoundState::reading && queue.over_limit()) pause_reading();
    if (reader_waits) queue.wake();
}

// Messages the bound's margin cannot hold are not kept (events are): the stream ends instead.
void Feed::keep_within_margin(std::vector<InboundMessage>& batch) {
    std::uint64_t bytes = 0;
    for (const InboundMessage& message : batch) {
        if (message.kind == InboundMessage::Kind::message) bytes += message.payload.size();
    }
    InboundQueue& queue = setup.inbound;
    if (bytes == 0 || (queue.bound_state() != BoundState::overrun && queue.fits(bytes))) return;
    batch.erase(std::remove_if(batch.begin(), batch.end(),
                               [](const InboundMessage& message) {
                                   return message.kind == InboundMessage::Kind::message;
                               }),
                batch.end());
    overrun();
}

// The reader has fallen behind by the bound and its margin: every connection stops reading for
// good and is closed with the reason, which its close event gives.
void Feed::overrun() {
    InboundQueue& queue = setup.inbound;
    if (!queue.overrun()) return;
    bound_timer.cancel();
    constexpr std::uint64_t kMiB = 1 << 20;
    const std::string why =
        "the reader fell behind: limit_queue " + std::to_string(queue.limit_now() / kMiB) +
        " MiB plus its margin of " + std::to_string(queue.margin() / kMiB) + " MiB held";
    for (Session* link : links()) {
        if (!link->has_ended()) link->close_for_bound(why);
    }
}

// Only this thread reads and resumes: a reader that drains the queue below half its limit asks
// for the resume through the loop. A replacement reads on until it is ready (its login and
// acknowledgements must come in), and a retiring connection until it has delivered everything.
void Feed::pause_reading() {
    const bool paused = setup.inbound.pause(
        [this] { boost::asio::post(client.get_io_service(), [this] { resume_reading(); }); });
    if (!paused) return;
    reconciler.reading_paused();  // the replacement's copies may be waiting in its socket
    for (Session* link : links()) {
        if (link != replacement.get() && link != retiring.get()) link->pause_reading();
    }
    if (setup.warning.count() == 0) return;
    bound_timer.expires_after(setup.warning / 3);
    bound_timer.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) lift_bound();
    });
}

// The reader has not taken its share for a third of the exchange's warning lead: every
// connection reads on, past the bound, until the reader brings the queue below half of it (or
// the bound's margin is full).
void Feed::lift_bound() {
    if (!setup.inbound.lift()) return;
    reconciler.reading_resumed(Clock::now());
    arm_release();
    for (Session* link : links())
        link->resume_reading();
}

void Feed::resume_reading() {
    CORVANE_ON_RUN_THREAD(owner);
    // A resume posted before an overrun: reading has stopped for good.
    if (setup.inbound.bound_state() == BoundState::overrun) return;
    setup.inbound.resumed();
    bound_timer.cancel();
    reconciler.reading_resumed(Clock::now());
    arm_release();
    for (Session* link : links())
        link->resume_reading();
}

// ---- run thread: the connections' lives ----

void Feed::on_opened(Session& link) {
    if (paused() && &link != replacement.get() && &link != retiring.get()) {
        link.pause_reading();
    }
    if (&link == current.get()) {
        opened_at = Clock::now();
        arm_age();
    }
}

// A notice on any connection that carries the stream, or is about to, is acted on: at once, or
// when the switch-over under way has finished.
void Feed::on_replace(Session& link, const std::string& why, std::chrono::seconds closes_in) {
    const auto expected =
        closes_in.count() > 0 ? Clock::now() + closes_in : Clock::time_point::max();
    const bool carries = &link == current.get() && state != FeedState::draining;
    if (carries && state == FeedState::live) return begin_switch(why, expected);
    if (carries && state == FeedState::opening) {
        close_expected = std::min(close_expected, expected);
    } else if (&link == replacement.get() || &link == current.get()) {
        if (!due || expected < due->close_expected) due = Due{why, expected};
    }
}

void Feed::on_ready(Session& link) {
    if (&link != replacement.get() || state != FeedState::opening) return;
    ready_timer.cancel();
    switch_over();
}

void Feed::on_drained(Session& link) {
    if (&link == retiring.get() && state == FeedState::draining) finish_drain();
}

void Feed::on_ended(Session& link) {
    if (&link == replacement.get()) {
        ready_timer.cancel();
        {
            std::lock_guard<std::mutex> lock(link_mtx);
            retire(std::move(replacement));
        }
        held.clear();  // what it received, the old one delivers
        attempt_failed();
    } else if (&link == retiring.get()) {
        if (state == FeedState::draining) finish_drain();
    } else if (&link == current.get() && state != FeedState::draining) {
        // During a switch-over the replacement takes over; while the old one drains, the end
        // comes once it has.
        if (go(FeedEvent::current_ended) && state == FeedState::ended) end_stream();
    }
    if (state == FeedState::ended) release_readers();
    if (state == FeedState::closing) stop_if_nothing_open();
}

void Feed::on_unwanted(Session& /*link*/) {
    if (state == FeedState::closing) stop_if_nothing_open();
}

// ---- run thread: the switch-over ----

void Feed::begin_switch(const std::string& why, Clock::time_point expected) {
    CORVANE_ON_RUN_THREAD(owner);
    if (!go(FeedEvent::switch_due)) return;
    switch_why = why;
    attempts = 0;
    close_expected = expected;
    // Connections retired by earlier switch-overs have long finished with their handlers.
    retired.erase(std::remove_if(retired.begin(), retired.end(),
                                 [](const auto& link) { return link->has_ended(); }),
                  retired.end());
    start_attempt();
}

void Feed::start_attempt() {
    ++attempts;
    reconciler.begin(current->id());
    pace_timer.expires_at(setup.pacer ? setup.pacer->reserve() : Clock::now());
    pace_timer.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) open_replacement();
    });
}

void Feed::open_replacement() {
    CORVANE_ON_RUN_THREAD(owner);
    if (state != FeedState::opening) return;
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

// The replacement takes over: sends go to it from now on. The old connection is asked to stop
// its pushes and reads until the exchange has answered (or it ends, or kDrainWithin passes).
void Feed::switch_over() {
    go(FeedEvent::ready);
    {
        std::lock_guard<std::mutex> lock(link_mtx);
        retiring = std::exchange(current, std::move(replacement));
    }
    reconciler.acknowledged();
    opened_at = Clock::now();
    arm_age();
    if (paused()) current->pause_reading();  // its messages wait anyway
    if (!retiring || retiring->has_ended()) return finish_drain();
    retiring->resume_reading();
    if (!retiring->stop_pushes()) return finish_drain();
    ready_timer.expires_after(kDrainWithin);
    ready_timer.async_wait([this](const boost::system::error_code& ec) {
        if (!ec && state == FeedState::draining) finish_drain();
    });
}

// The old connection has delivered all it will: the switch event, then the replacement's
// messages less their twins; then the old one closes after what was sent on it.
void Feed::finish_drain() {
    go(FeedEvent::drained);
    ready_timer.cancel();
    reconciler.old_finished(Clock::now());
    InboundMessage event;
    event.kind = InboundMessage::Kind::switched;
    event.payload = std::exchange(switch_why, std::string());
    event.recv_ns = wall_ns();
    event.connection = current->id();
    event.previous = retiring ? retiring->id() : 0;
    std::vector<InboundMessage> ahead;
    ahead.push_back(std::move(event));
    reconciler.filter(current->id(), ahead, Clock::now());  // behind what still waits
    deliver(ahead);
    reconciler.filter(current->id(), held, Clock::now());
    deliver(held);
    arm_release();
    std::unique_ptr<Session> old;
    {
        std::lock_guard<std::mutex> lock(link_mtx);
        old = std::move(retiring);
    }
    if (old && !old->has_ended()) old->close(websocketpp::close::status::normal, "");
    if (old) {
        std::lock_guard<std::mutex> lock(link_mtx);
        retire(std::move(old));
    }
    if (current->has_ended()) {
        go(FeedEvent::current_ended);
        end_stream();
        return release_readers();
    }
    if (due) {
        const Due next = *std::exchange(due, std::nullopt);
        begin_switch(next.why, next.close_expected);
    }
}

// The old connection runs on until the exchange closes it, unless a second try fits in before.
void Feed::attempt_failed() {
    if (!current || current->has_ended()) {
        if (go(FeedEvent::ended_all)) end_stream();
        return;
    }
    if (state != FeedState::opening) return;
    const bool time_left = close_expected - Clock::now() > kReadyWithin;
    if (attempts < kAttempts && time_left && go(FeedEvent::retry)) return start_attempt();
    go(FeedEvent::gave_up);
    switch_why.clear();
    due.reset();
    reconciler.old_finished(Clock::now());
}

// No switch-over is planned any more and no timer of the stream will fire.
void Feed::forget_plans() {
    switch_why.clear();
    due.reset();
    age_timer.cancel();
    pace_timer.cancel();
    ready_timer.cancel();
    bound_timer.cancel();
    release_timer.reset();
}

void Feed::end_stream() {
    forget_plans();
    std::vector<InboundMessage> rest;
    reconciler.release_all(rest);  // held back to be judged: nothing more will tell
    if (!rest.empty()) deliver(rest);
    release_readers();
}

// Readers end once every connection's ending event is queued (one retiring may still be closing).
void Feed::release_readers() {
    const auto links_now = links();
    const bool all_ended = std::all_of(links_now.begin(), links_now.end(),
                                       [](const Session* link) { return link->has_ended(); });
    if (!all_ended) return;
    end_books();
    setup.inbound.end_stream();
}

// Out of sync until the next stream resyncs them; their events go ahead of the readers' end.
void Feed::end_books() {
    std::vector<InboundMessage> events;
    books.end(events);
    if (!events.empty() && setup.inbound.push_all(events)) setup.inbound.wake();
}

// What a replacement that took over received meanwhile is delivered before the close.
void Feed::close_all() {
    CORVANE_ON_RUN_THREAD(owner);
    const bool took_over = state == FeedState::draining;
    if (!go(FeedEvent::close)) return stop_if_nothing_open();
    if (took_over) {
        reconciler.filter(current->id(), held, Clock::now());
    } else {
        held.clear();
    }
    reconciler.release_all(held);  // what it held back is not kept from the reader either
    if (!held.empty()) deliver(held);
    forget_plans();
    for (Session* link : links()) {
        if (!link->has_ended()) link->close(websocketpp::close::status::normal, "");
    }
    stop_if_nothing_open();
}

void Feed::arm_age() {
    CORVANE_ON_RUN_THREAD(owner);
    age_timer.cancel();
    const double seconds = setup.max_age_s.load();
    const bool ending = state == FeedState::closing || state == FeedState::ended;
    if (ending || !current || !current->is_open()) return;
    // An age near or past what the clock can hold is no limit (converted, it would overflow into
    // the past); half its room is still centuries.
    const double room = std::chrono::duration<double>(Clock::time_point::max() - opened_at).count();
    if (!(seconds < room / 2)) return;
    const auto age = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(std::max(seconds, 0.0)));
    age_timer.expires_at(opened_at + age);
    age_timer.async_wait([this](const boost::system::error_code& ec) {
        if (ec) return;
        if (state == FeedState::draining) {
            if (!due) due = Due{"age", Clock::time_point::max()};
            return;
        }
        begin_switch("age", Clock::time_point::max());
    });
}

void Feed::stop_if_nothing_open() {
    for (Session* link : links()) {
        if (link->is_open()) return;
    }
    client.stop();
}

std::vector<Session*> Feed::links() {
    std::vector<Session*> all;
    if (current) all.push_back(current.get());
    if (replacement) all.push_back(replacement.get());
    if (retiring) all.push_back(retiring.get());
    for (const auto& link : retired)
        all.push_back(link.get());
    return all;
}

void Feed::retire(std::unique_ptr<Session> link) {
    if (link) retired.push_back(std::move(link));
}

}  // namespace corvane
