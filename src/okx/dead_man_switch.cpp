#include "okx/dead_man_switch.hpp"

#include <nlohmann/json.hpp>

#include "core/stream/session.hpp"
#include "core/text/inbound_json.hpp"
#include "core/text/output.hpp"

namespace corvane {
namespace {

// How often a connection looks whether a refresh is due: the period is at least 10 s, so a
// refresh comes at most a second after a third of it.
constexpr std::chrono::seconds kPoll{1};

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
    : period(period), queue(queue), start_request(std::move(start)), poll(poll) {}

void DeadManRefresh::start(boost::asio::io_context& loop, const ThreadOwner& thread) {
    owner = &thread;
    CORVANE_ON_RUN_THREAD(*owner);
    timer.emplace(loop);
    schedule();
}

void DeadManRefresh::stop() {
    // What was in flight may still reach OKX, after what the program sends next.
    if (in_flight) period.doubt();
    in_flight = false;
    pending.reset();
    timer.reset();
}

void DeadManRefresh::schedule() {
    timer->expires_after(poll);
    timer->async_wait([this](const boost::system::error_code& ec) {
        if (!ec) tick();
    });
}

// Nothing goes while the program's own cancel_all_after runs: what it sends is the latest.
void DeadManRefresh::tick() {
    CORVANE_ON_RUN_THREAD(*owner);
    const std::uint64_t calls = period.calls.load();
    const int seconds = period.seconds.load();
    const std::int64_t due =
        period.restarted_ns.load() + std::int64_t{seconds} * 1'000'000'000 / 3;
    if (!in_flight && period.running.load() == 0) {
        if (period.in_doubt()) {
            send(seconds, calls);
        } else if (seconds > 0 && steady_ns() >= due && program_reads()) {
            send(seconds, calls);
        }
    }
    schedule();
}

void DeadManRefresh::send(int seconds, std::uint64_t calls) {
    in_flight = true;
    reads_sent = queue.reads();
    seconds_sent = seconds;
    calls_sent = calls;
    doubts_sent = period.doubts.load();
    pending = start_request(seconds, [this](const https::Reply& reply) { on_reply(reply); });
}

// The program reads if a reader asked for a message since the last restart, or a reader waiting
// on an event loop saw that loop run: a reader that waits on a frozen loop or thread does not.
bool DeadManRefresh::program_reads() {
    return queue.reads() != period.reads.load();
}

// Whatever the outcome: a request that failed may still have reached OKX.
void DeadManRefresh::on_reply(const https::Reply& reply) {
    CORVANE_ON_RUN_THREAD(*owner);
    in_flight = false;
    const std::string failure = cancel_all_after_failure(reply);
    if (!failure.empty()) print_line(Stream::err, "Error: cancel_all_after refresh: " + failure);
    const std::uint64_t calls = period.calls.load();
    if (calls != calls_sent || period.seconds.load() != seconds_sent) {
        // The program set a period (perhaps 0) while this was on its way, which may have reached
        // OKX after the program's: send the program's, now unless its call still runs.
        period.doubt();
        if (period.running.load() == 0) send(period.seconds.load(), calls);
        return;
    }
    if (!failure.empty()) return;  // the next tick tries again
    if (seconds_sent > 0) period.restarted(reads_sent);
    period.settle(doubts_sent);
}

}  // namespace corvane
