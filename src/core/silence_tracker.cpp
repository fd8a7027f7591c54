#include "core/silence_tracker.hpp"

#include <algorithm>

namespace corvane {

SilenceTracker::SilenceTracker(SilencePolicy policy) : policy(policy) {}

bool SilenceTracker::enabled() const {
    return policy.ping_after.count() > 0 || policy.dead_after.count() > 0;
}

std::chrono::milliseconds SilenceTracker::tick() const {
    auto shortest = std::chrono::milliseconds::max();
    if (policy.ping_after.count() > 0) shortest = std::min(shortest, policy.ping_after);
    if (policy.dead_after.count() > 0) shortest = std::min(shortest, policy.dead_after);
    return std::max(std::chrono::milliseconds(1), shortest / 25);
}

void SilenceTracker::reset(std::uint64_t arrivals) {
    arrivals_seen = arrivals;
    silent_for = std::chrono::milliseconds(0);
    pinged = false;
}

SilenceTracker::Action SilenceTracker::on_tick(std::uint64_t arrivals) {
    if (arrivals != arrivals_seen) {
        reset(arrivals);
        return Action::none;
    }
    silent_for += tick();
    if (policy.dead_after.count() > 0 && silent_for >= policy.dead_after) return Action::close;
    if (policy.ping_after.count() > 0 && !pinged && silent_for >= policy.ping_after) {
        pinged = true;
        return Action::ping;
    }
    return Action::none;
}

}  // namespace corvane
