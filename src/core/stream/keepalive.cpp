#include "core/stream/keepalive.hpp"

#include <algorithm>

namespace corvane {

KeepAliveSchedule::KeepAliveSchedule(const KeepAlive& policy)
    : ping(policy.interval.count() > 0 ? policy.ping : KeepAlive::Ping::never),
      interval(policy.interval),
      dead_after(policy.dead_after) {}

bool KeepAliveSchedule::enabled() const {
    return ping != KeepAlive::Ping::never || dead_after.count() > 0;
}

std::chrono::milliseconds KeepAliveSchedule::tick() const {
    auto shortest = std::chrono::milliseconds::max();
    if (ping != KeepAlive::Ping::never) shortest = std::min(shortest, interval);
    if (dead_after.count() > 0) shortest = std::min(shortest, dead_after);
    return std::max(std::chrono::milliseconds(1), shortest / 25);
}

bool KeepAliveSchedule::start(std::uint64_t arrivals) {
    arrivals_seen = arrivals;
    silent_for = dead_silence = since_ping = std::chrono::milliseconds(0);
    pinged = false;
    return ping == KeepAlive::Ping::periodically;
}

KeepAliveSchedule::Action KeepAliveSchedule::on_tick(std::uint64_t arrivals, bool paused) {
    since_ping += tick();
    if (arrivals != arrivals_seen) {
        arrivals_seen = arrivals;
        silent_for = dead_silence = std::chrono::milliseconds(0);
        pinged = false;
    } else {
        silent_for += tick();
        dead_silence = paused ? std::chrono::milliseconds(0) : dead_silence + tick();
    }
    if (dead_after.count() > 0 && dead_silence >= dead_after) return Action::close;
    if (ping == KeepAlive::Ping::periodically && since_ping >= interval) {
        since_ping = std::chrono::milliseconds(0);
        return Action::ping;
    }
    if (ping == KeepAlive::Ping::when_idle && !pinged && silent_for >= interval) {
        pinged = true;
        return Action::ping;
    }
    return Action::none;
}

}  // namespace corvane
