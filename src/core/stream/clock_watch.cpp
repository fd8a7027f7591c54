#include "core/stream/clock_watch.hpp"

#include <algorithm>

#include "core/stream/session.hpp"
#include "core/text/output.hpp"

namespace corvane {
namespace {

// A measurement waits at most this long for its answer: a slow one says little about the
// clock.
constexpr std::chrono::milliseconds kMeasureTimeout{3000};

void report(const std::string& failure) {
    if (!failure.empty()) print_line(Stream::err, "Error: clock offset: " + failure);
}

}  // namespace

std::string record_time_reply(ClockOffset& offset, const https::Reply& reply) {
    if (reply.outcome != https::Reply::Outcome::answered) return reply.failure;
    if (!reply.succeeded()) return "HTTP " + std::to_string(reply.status) + " " + reply.body;
    if (!reply.written_at || !reply.answered_at) return "the time reply was not timed";
    std::int64_t server_ms = 0;
    try {
        server_ms = server_time_in(reply.body);
    } catch (const std::exception& e) {
        return e.what();
    }
    if (!plausible_server_time(server_ms)) {
        return "the time reply gives an implausible time: " + std::to_string(server_ms);
    }
    if (!offset.measured(server_ms, *reply.written_at, *reply.answered_at)) {
        return "the time reply was answered before it was sent";
    }
    return {};
}

void measure_clock(ClockOffset& offset, const https::Endpoint& endpoint,
                   const https::Request& request) {
    offset.claim_first();
    https::Endpoint bounded = endpoint;
    bounded.timeout = std::min(bounded.timeout, kMeasureTimeout);
    report(record_time_reply(offset, https::send(bounded, request)));
}

void measure_clock_once(ClockOffset& offset, const https::Endpoint& endpoint,
                        const https::Request& request) {
    if (offset.claim_first()) measure_clock(offset, endpoint, request);
}

ClockWatch::ClockWatch(ClockOffset& offset, EndpointOf endpoint, https::Request request,
                       std::chrono::milliseconds interval)
    : offset(offset), endpoint(std::move(endpoint)), request(std::move(request)),
      interval(interval) {}

void ClockWatch::start(Session& session) {
    CORVANE_ON_RUN_THREAD(session.thread());
    timer.emplace(session.io());
    schedule(session);
}

void ClockWatch::stop() {
    pending.reset();
    timer.reset();
}

void ClockWatch::schedule(Session& session) {
    timer->expires_after(interval);
    timer->async_wait([this, &session](const boost::system::error_code& ec) {
        if (!ec) measure(session);
    });
}

void ClockWatch::measure(Session& session) {
    CORVANE_ON_RUN_THREAD(session.thread());
    https::Endpoint bounded = endpoint();
    bounded.timeout = std::min(bounded.timeout, kMeasureTimeout);
    pending = https::start(session.io(), bounded, request,
                           [this, &session](const https::Reply& reply) {
                               report(record_time_reply(offset, reply));
                               schedule(session);
                           });
}

}  // namespace corvane
