#include "core/stream/session_state.hpp"

namespace corvane {
namespace {

struct Transition {
    SessionState from;
    SessionEvent event;
    SessionState to;
};

using S = SessionState;
using E = SessionEvent;

constexpr Transition kTable[] = {
    {S::connecting, E::opened, S::open},    {S::connecting, E::close_asked, S::unwanted},
    {S::unwanted, E::opened, S::open},      {S::open, E::close_asked, S::closing},
    {S::open, E::ended, S::ended},          {S::closing, E::ended, S::ended},
    {S::connecting, E::ended, S::ended},    {S::unwanted, E::ended, S::ended},
};

}  // namespace

std::optional<SessionState> session_transition(SessionState state, SessionEvent event) {
    for (const Transition& t : kTable) {
        if (t.from == state && t.event == event) return t.to;
    }
    return std::nullopt;
}

}  // namespace corvane
