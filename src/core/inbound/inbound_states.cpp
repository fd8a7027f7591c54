#include "core/inbound/inbound_states.hpp"

#include "core/state/state_table.hpp"

namespace corvane {
namespace {

constexpr Transition<StreamState, StreamEvent> kStreamRows[] = {
    {StreamState::closed, StreamEvent::open, StreamState::open},
    {StreamState::open, StreamEvent::end, StreamState::closed},
};
constexpr StateTable<StreamState, StreamEvent> kStreamTable{kStreamRows};

constexpr Transition<BoundState, BoundEvent> kBoundRows[] = {
    {BoundState::reading, BoundEvent::pause, BoundState::paused},
    {BoundState::paused, BoundEvent::resume, BoundState::reading},
    {BoundState::paused, BoundEvent::lift, BoundState::lifted},
    {BoundState::lifted, BoundEvent::resume, BoundState::reading},
    {BoundState::reading, BoundEvent::overrun, BoundState::overrun},
    {BoundState::paused, BoundEvent::overrun, BoundState::overrun},
    {BoundState::lifted, BoundEvent::overrun, BoundState::overrun},
    {BoundState::overrun, BoundEvent::resume, BoundState::reading},
};
constexpr StateTable<BoundState, BoundEvent> kBoundTable{kBoundRows};

}  // namespace

std::optional<StreamState> stream_transition(StreamState state, StreamEvent event) {
    return kStreamTable.next(state, event);
}

std::optional<BoundState> bound_transition(BoundState state, BoundEvent event) {
    return kBoundTable.next(state, event);
}

}  // namespace corvane
