#include "core/stream/switchover/feed_state.hpp"

#include "core/state/state_table.hpp"

namespace corvane {
namespace {

using S = FeedState;
using E = FeedEvent;

constexpr Transition<S, E> kRows[] = {
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

constexpr StateTable<FeedState, FeedEvent> kFeedTable{kRows};

}  // namespace

std::optional<FeedState> feed_transition(FeedState state, FeedEvent event) {
    return kFeedTable.next(state, event);
}

}  // namespace corvane
