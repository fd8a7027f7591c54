#include "okx/dead_man_switch.hpp"

#include <nlohmann/json.hpp>

#include "core/inbound_json.hpp"
#include "core/output.hpp"
#include "core/session.hpp"

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

DeadManRefresh::DeadManRefresh(DeadManPeriod& period, InboundQueue& queue, Start start)
    : period(period), queue(queue), start_request(std::move(start)) {}

void DeadManRefresh::start(Session& session) {
    CORVANE_ON_RUN_THREAD(session.thread());
    timer.emplace(session.io());
    schedule(session);
}

void DeadManRefresh::stop() {
    pending.reset();
    timer.reset();
}

void DeadManRefresh::schedule(Session& session) {
    timer->expires_after(kPoll);
    timer->async_wait([this, &session](const boost::system::error_code& ec) {
        if (!ec) tick(session);
    });
}

void DeadManRefresh::tick(Session& session) {
    CORVANE_ON_RUN_THREAD(session.thread());
    const int seconds = period.seconds.load();
    const std::int64_t due =
        period.restarted_ns.load() + std::int64_t{seconds} * 1'000'000'000 / 3;
    if (seconds > 0 && !in_flight && steady_ns() >= due && program_reads()) {
        in_flight = true;
        reads_sent = queue.reads();
        seconds_sent = seconds;
        pending = start_request(seconds, [this, &session](const https::Reply& reply) {
            on_reply(session, reply);
        });
    }
    schedule(session);
}

// The program reads if a reader asked for a message since the last restart, or waits now.
bool DeadManRefresh::program_reads() {
    return queue.reads() != period.reads.load() || queue.reader_waiting();
}

void DeadManRefresh::on_reply(Session& session, const https::Reply& reply) {
    CORVANE_ON_RUN_THREAD(session.thread());
    in_flight = false;
    const std::string failure = cancel_all_after_failure(reply);
    const int seconds = period.seconds.load();
    if (!failure.empty()) {
        print_line(Stream::err, "Error: cancel_all_after refresh: " + failure);
    } else if (seconds == seconds_sent) {
        period.restarted(reads_sent);
    } else if (seconds > 0) {
        // The program set another period while this refresh was on its way, which may have
        // reached OKX after the program's: send the program's at the next tick.
        period.restarted_ns.store(0);
    } else {
        // The program turned the switch off while this refresh was on its way, which may
        // have reached OKX after the program's 0: turn it off again.
        in_flight = true;
        pending = start_request(0, [this, &session](const https::Reply& off) {
            in_flight = false;
            const std::string why = cancel_all_after_failure(off);
            if (!why.empty()) print_line(Stream::err, "Error: cancel_all_after refresh: " + why);
        });
    }
}

}  // namespace corvane
