#include "core/stream/clock_watch.hpp"

#include <algorithm>

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

ClockWatch::ClockWatch(ClockOffset& offset, EndpointOf endpoint_of, https::Request time_request,
                       std::chrono::milliseconds interval)
    : offset(offset), endpoint(std::move(endpoint_of)), request(std::move(time_request)),
      job(interval, interval,
          {nullptr,
           [this](RunLoop& loop, https::Done done) {
               https::Endpoint bounded = endpoint();
               bounded.timeout = std::min(bounded.timeout, kMeasureTimeout);
               return loop.rest(bounded, request, std::move(done));
           },
           [this](const https::Reply& reply) {
               report(record_time_reply(this->offset, reply));
               return PeriodicRest::Then::wait;
           }}) {}

void ClockWatch::start(RunLoop& loop) {
    job.start(loop);
}

void ClockWatch::stop() {
    job.stop();
}

}  // namespace corvane
