#include "core/stream/session_state.hpp"

#include "core/state/state_table.hpp"

namespace corvane {
namespace {

using S = SessionState;
using E = SessionEvent;

constexpr Transition<S, E> kRows[] = {
    {S::connecting, E::opened, S::open},    {S::connecting, E::close_asked, S::unwanted},
    {S::unwanted, E::opened, S::open},      {S::open, E::close_asked, S::closing},
    {S::open, E::ended, S::ended},          {S::closing, E::ended, S::ended},
    {S::connecting, E::ended, S::ended},    {S::unwanted, E::ended, S::ended},
};

constexpr StateTable<SessionState, SessionEvent> kSessionTable{kRows};

}  // namespace

std::optional<SessionState> session_transition(SessionState state, SessionEvent event) {
    return kSessionTable.next(state, event);
}

}  // namespace corvane
