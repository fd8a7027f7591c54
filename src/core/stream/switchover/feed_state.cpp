#include "core/stream/switchover/feed_state.hpp"

namespace corvane {
namespace {

struct Transition {
    FeedState from;
    FeedEvent event;
    FeedState to;
};

using S = FeedState;
using E = FeedEvent;

constexpr Transition kTable[] = {
    {S::live, E::switch_due, S::opening},
    {S::live, E::current_ended, S::ended},
    {S::opening, E::ready, S::draining},
    {S::opening, E::retry, S::opening},
    {S::opening, E::gave_up, S::live},
    {S::opening, E::current_ended, S::opening},
    {S::opening, E::ended_all, S::ended},
    {S::draining, E::drained, S::live},
    {S::draining, E::current_ended, S::ended},
    {S::live, E::close, S::closing},
    {S::opening, E::close, S::closing},
    {S::draining, E::close, S::closing},
};

}  // namespace

std::optional<FeedState> feed_transition(FeedState state, FeedEvent event) {
    for (const Transition& t : kTable) {
        if (t.from == state && t.event == event) return t.to;
    }
    return std::nullopt;
}

}  // namespace corvane
