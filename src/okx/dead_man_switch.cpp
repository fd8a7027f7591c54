#include "okx/dead_man_switch.hpp"

#include <nlohmann/json.hpp>

#include "core/text/inbound_json.hpp"
#include "core/text/output.hpp"

namespace corvane {
namespace {

std::int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void DeadManPeriod::restarted(std::uint64_t reads_then) {
    reads.store(reads_then);
    restarted_ns.store(steady_ns());
}

void DeadManPeriod::settle(std::uint64_t then) {
    std::uint64_t now = settled.load();
    while (now < then && !settled.compare_exchange_weak(now, then)) {
    }
}

DeadManPeriod::ProgramCall::ProgramCall(DeadManPeriod& period, int seconds, std::uint64_t reads)
    : period(period), seconds(seconds), reads(reads) {
    ++period.running;
    ++period.calls;
    doubts = period.doubts.load();
    // Off first, so that no refresh restarts a countdown the program is turning off.
    if (seconds == 0) period.seconds.store(0);
}

void DeadManPeriod::ProgramCall::accepted() {
    if (seconds > 0) {
        period.restarted(reads);
        period.seconds.store(seconds);
    }
    period.settle(doubts);
}

bool cancel_all_after_accepted(const std::string& body) {
    try {
        const auto value = parse_inbound_json(body);
        return value.is_object() && value.value("code", nlohmann::json()) == "0";
    } catch (const std::exception&) {
        return false;  // not JSON: not an acceptance
    }
}

std::string cancel_all_after_failure(const https::Reply& reply) {
    if (reply.outcome != https::Reply::Outcome::answered) return reply.failure;
    if (!reply.succeeded()) return "HTTP " + std::to_string(reply.status) + " " + reply.body;
    return cancel_all_after_accepted(reply.body) ? std::string() : reply.body;
}

DeadManRefresh::DeadManRefresh(DeadManPeriod& period, InboundQueue& queue, Start start,
                               std::chrono::milliseconds poll)
    : period(period),
      queue(queue),
      start_request(std::move(start)),
      // A refresh the program's call overtook goes again at once.
      job(poll, std::chrono::milliseconds(0),
          {[this] { return due(); },
           [this](RunLoop& /*loop*/, https::Done done) { return send(std::move(done)); },
           [this](const https::Reply& reply) { return on_reply(reply); }}) {}

void DeadManRefresh::start(RunLoop& loop) {
    job.start(loop);
}

void DeadManRefresh::stop() {
    // What was in flight may still reach OKX, after what the program sends next.
    if (job.state() == PeriodicState::asking) period.doubt();
    job.stop();
}

// Nothing goes while the program's own cancel_all_after runs: what it sends is the latest.
bool DeadManRefresh::due() {
    calls_due = period.calls.load();
    seconds_due = period.seconds.load();
    const std::int64_t due_ns =
        period.restarted_ns.load() + std::int64_t{seconds_due} * 1'000'000'000 / 3;
    if (period.running.load() != 0) return false;
    if (period.in_doubt()) return true;
    return seconds_due > 0 && steady_ns() >= due_ns && program_reads();
}

std::unique_ptr<https::Pending> DeadManRefresh::send(https::Done done) {
    reads_sent = queue.reads();
    seconds_sent = seconds_due;
    calls_sent = calls_due;
    doubts_sent = period.doubts.load();
    return start_request(seconds_sent, std::move(done));
}

// The program reads if a reader asked for a message since the last restart, or a reader waiting
// on an event loop saw that loop run: a reader that waits on a frozen loop or thread does not.
bool DeadManRefresh::program_reads() {
    return queue.reads() != period.reads.load();
}

// Whatever the outcome: a request that failed may still have reached OKX.
PeriodicRest::Then DeadManRefresh::on_reply(const https::Reply& reply) {
    const std::string failure = cancel_all_after_failure(reply);
    if (!failure.empty()) print_line(Stream::err, "Error: cancel_all_after refresh: " + failure);
    if (period.calls.load() != calls_sent || period.seconds.load() != seconds_sent) {
        // The program set a period (perhaps 0) while this was on its way, which may have reached
        // OKX after the program's: send the program's, now unless its call still runs.
        period.doubt();
        return PeriodicRest::Then::retry;
    }
    if (!failure.empty()) return PeriodicRest::Then::wait;  // the next tick tries again
    if (seconds_sent > 0) period.restarted(reads_sent);
    period.settle(doubts_sent);
    return PeriodicRest::Then::wait;
}

}  // namespace corvane
