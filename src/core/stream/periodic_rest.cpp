#include "core/stream/periodic_rest.hpp"

#include "core/state/state_table.hpp"

namespace corvane {
namespace {

using S = PeriodicState;
using E = PeriodicEvent;

constexpr Transition<S, E> kRows[] = {
    {S::idle, E::started, S::waiting},   {S::waiting, E::sent, S::asking},
    {S::asking, E::answered, S::waiting}, {S::idle, E::stopped, S::stopped},
    {S::waiting, E::stopped, S::stopped}, {S::asking, E::stopped, S::stopped},
};

constexpr StateTable<PeriodicState, PeriodicEvent> kPeriodicTable{kRows};

}  // namespace

std::optional<PeriodicState> periodic_transition(PeriodicState state, PeriodicEvent event) {
    return kPeriodicTable.next(state, event);
}

PeriodicRest::PeriodicRest(std::chrono::milliseconds period, std::chrono::milliseconds retry,
                           Steps steps)
    : period(period), retry(retry), steps(std::move(steps)) {}

bool PeriodicRest::go(PeriodicEvent event) {
    const auto next = periodic_transition(current, event);
    if (!next) return false;
    current = *next;
    return true;
}

void PeriodicRest::start(RunLoop& on) {
    CORVANE_ON_RUN_THREAD(on.thread());
    loop = &on;
    if (go(PeriodicEvent::started)) arm(period);
}

void PeriodicRest::stop() {
    if (!go(PeriodicEvent::stopped)) return;
    timer.reset();
    pending.reset();  // a call under way is cancelled: its reply never comes
}

void PeriodicRest::arm(std::chrono::milliseconds delay) {
    timer = loop->after(delay, [this] { fire(); });
}

void PeriodicRest::fire() {
    CORVANE_ON_RUN_THREAD(loop->thread());
    if (steps.due && !steps.due()) return arm(period);
    if (!go(PeriodicEvent::sent)) return;
    const std::uint64_t number = ++*calls;
    std::weak_ptr<std::uint64_t> alive = calls;
    pending = steps.start(*loop, [this, alive, number](const https::Reply& reply) {
        const auto still = alive.lock();
        if (still && *still == number && current == PeriodicState::asking) on_reply(reply);
    });
}

void PeriodicRest::on_reply(const https::Reply& reply) {
    CORVANE_ON_RUN_THREAD(loop->thread());
    const Then then = steps.answered(reply);
    if (current == PeriodicState::stopped) return;  // stopped from the callback
    if (then == Then::stop) return stop();
    go(PeriodicEvent::answered);
    arm(then == Then::retry ? retry : period);
}

}  // namespace corvane
