#include "okx/dead_man_switch.hpp"

#include <nlohmann/json.hpp>

#include "core/text/inbound_json.hpp"
#include "core/text/output.hpp"

namespace corvane {

std::int64_t DeadManPeriod::steady_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::optional<DeadManPeriod::Refresh> DeadManPeriod::due(std::uint64_t reads_now) {
    const std::lock_guard<std::mutex> held(lock);
    const std::int64_t now = clock();
    const Refresh refresh{wanted, reads_now, calls, doubts, now};
    if (running != 0) return std::nullopt;
    if (current == DeadManState::doubtful) {
        if (!resend_due(now)) return std::nullopt;
        resent_after = doubts;
        resent_ns = now;
        return refresh;
    }
    if (current != DeadManState::armed) return std::nullopt;
    const std::int64_t due_ns = restarted_ns + std::int64_t{wanted} * 1'000'000'000 / 3;
    // A reader that waits on a frozen loop or thread has not read since the last restart.
    const bool program_reads = reads_now != reads_at_restart;
    if (now < due_ns || !program_reads) return std::nullopt;
    return refresh;
}

bool DeadManPeriod::resend_due(std::int64_t now_ns) const {
    if (resent_after != doubts) return true;  // a doubt since the last resend
    const std::int64_t landed_ns = doubt_ns + kLandingNs;
    return now_ns >= landed_ns && resent_ns < landed_ns;
}

void DeadManPeriod::raise_doubt() {
    go(DeadManEvent::doubt);
    ++doubts;
    doubt_ns = clock();
}

bool DeadManPeriod::answered(const Refresh& sent, bool accepted) {
    const std::lock_guard<std::mutex> held(lock);
    if (calls != sent.calls || wanted != sent.seconds) {
        raise_doubt();
        return true;
    }
    if (accepted) {
        took(sent.seconds, sent.reads, sent.doubts, sent.sent_ns);
    } else if (current == DeadManState::doubtful) {
        resent_after = 0;  // it goes again at the next tick (a doubt makes `doubts` 1 or more)
    }
    return false;
}

void DeadManPeriod::doubt() {
    const std::lock_guard<std::mutex> held(lock);
    raise_doubt();
}

DeadManState DeadManPeriod::state() const {
    const std::lock_guard<std::mutex> held(lock);
    return current;
}

int DeadManPeriod::seconds() const {
    const std::lock_guard<std::mutex> held(lock);
    return wanted;
}

// A doubt raised after the request was sent stands, and so does one raised less than the
// landing time before it: that other request may land later still.
void DeadManPeriod::took(int seconds_taken, std::uint64_t reads_then, std::uint64_t doubts_then,
                         std::int64_t sent_ns) {
    if (seconds_taken > 0) {
        restarted_ns = clock();
        reads_at_restart = reads_then;
    }
    if (doubts_then != doubts) return;
    if (current == DeadManState::doubtful && sent_ns < doubt_ns + kLandingNs) return;
    go(seconds_taken > 0 ? DeadManEvent::accepted_on : DeadManEvent::accepted_off);
}

void DeadManPeriod::go(DeadManEvent event) {
    if (const auto next = dead_man_transition(current, event)) current = *next;
}

DeadManPeriod::ProgramCall::ProgramCall(DeadManPeriod& period, int seconds, std::uint64_t reads)
    : period(period), seconds(seconds), reads(reads) {
    const std::lock_guard<std::mutex> held(period.lock);
    ++period.running;
    ++period.calls;
    doubts = period.doubts;
    began_ns = period.clock();
    // Off first, so that no refresh restarts a countdown the program is turning off.
    if (seconds == 0) {
        period.wanted = 0;
        period.go(DeadManEvent::turned_off);
    }
}

DeadManPeriod::ProgramCall::~ProgramCall() {
    const std::lock_guard<std::mutex> held(period.lock);
    --period.running;
}

void DeadManPeriod::ProgramCall::accepted() {
    const std::lock_guard<std::mutex> held(period.lock);
    if (seconds > 0) period.wanted = seconds;
    period.took(seconds, reads, doubts, began_ns);
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

bool DeadManRefresh::due() {
    found = period.due(queue.reads());
    return found.has_value();
}

std::unique_ptr<https::Pending> DeadManRefresh::send(https::Done done) {
    sent = *found;
    return start_request(sent.seconds, std::move(done));
}

// Whatever the outcome: a request that failed may still have reached OKX.
PeriodicRest::Then DeadManRefresh::on_reply(const https::Reply& reply) {
    const std::string failure = cancel_all_after_failure(reply);
    if (!failure.empty()) print_line(Stream::err, "Error: cancel_all_after refresh: " + failure);
    if (period.answered(sent, failure.empty())) return PeriodicRest::Then::retry;
    return PeriodicRest::Then::wait;  // after a failure, the next tick tries again
}

}  // namespace corvane
