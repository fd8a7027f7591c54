#include "core/stream/keepalive.hpp"

#include <algorithm>

namespace corvane {

KeepAliveSchedule::KeepAliveSchedule(const KeepAlive& policy)
    : ping(policy.interval.count() > 0 ? policy.ping : KeepAlive::Ping::never),
      interval(policy.interval),
      dead_after(policy.dead_after),
      ping_timeout(ping == KeepAlive::Ping::never ? std::chrono::milliseconds(0)
                                                  : policy.ping_timeout) {}

bool KeepAliveSchedule::enabled() const {
    return ping != KeepAlive::Ping::never || dead_after.count() > 0;
}

std::chrono::milliseconds KeepAliveSchedule::tick() const {
    auto shortest = std::chrono::milliseconds::max();
    if (ping != KeepAlive::Ping::never) shortest = std::min(shortest, interval);
    if (dead_after.count() > 0) shortest = std::min(shortest, dead_after);
    if (ping_timeout.count() > 0) shortest = std::min(shortest, ping_timeout);
    return std::max(std::chrono::milliseconds(1), shortest / 25);
}

bool KeepAliveSchedule::start(std::uint64_t arrivals) {
    arrivals_seen = arrivals;
    silent_for = dead_silence = since_ping = unanswered = std::chrono::milliseconds(0);
    pinged = ping == KeepAlive::Ping::periodically;  // the ping it starts with
    return pinged;
}

KeepAliveSchedule::Action KeepAliveSchedule::on_tick(std::uint64_t arrivals, bool paused) {
    since_ping += tick();
    if (arrivals != arrivals_seen) {
        arrivals_seen = arrivals;
        silent_for = dead_silence = unanswered = std::chrono::milliseconds(0);
        pinged = false;
    } else {
        silent_for += tick();
        dead_silence = paused ? std::chrono::milliseconds(0) : dead_silence + tick();
        // A reader that does not read cannot see the answer.
        if (pinged) unanswered = paused ? std::chrono::milliseconds(0) : unanswered + tick();
    }
    if (dead_after.count() > 0 && dead_silence >= dead_after) return Action::close;
    if (ping_timeout.count() > 0 && pinged && unanswered >= ping_timeout) {
        return Action::unanswered;
    }
    return ping_due();
}

KeepAliveSchedule::Action KeepAliveSchedule::ping_due() {
    if (ping == KeepAlive::Ping::periodically && since_ping >= interval) {
        since_ping = std::chrono::milliseconds(0);
        pinged = true;
        return Action::ping;
    }
    if (ping == KeepAlive::Ping::when_idle && !pinged && silent_for >= interval) {
        pinged = true;
        return Action::ping;
    }
    return Action::none;
}

}  // namespace corvane
