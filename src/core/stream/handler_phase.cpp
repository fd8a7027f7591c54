#include "core/stream/handler_phase.hpp"

#include "core/state/state_table.hpp"

namespace corvane {
namespace {

using P = HandlerPhase;
using E = HandlerEvent;

constexpr Transition<P, E> kRows[] = {
    {P::opening, E::login_sent, P::logging_in},
    {P::logging_in, E::login_refused, P::refused},
    {P::opening, E::replay_sent, P::replaying},
    {P::logging_in, E::replay_sent, P::replaying},
    {P::replaying, E::replay_answered, P::ready},
    {P::opening, E::stop_sent, P::retiring},
    {P::refused, E::stop_sent, P::retiring},
    {P::ready, E::stop_sent, P::retiring},
    {P::retiring, E::stop_sent, P::retiring},
    {P::retired, E::stop_sent, P::retiring},
    {P::retiring, E::drained, P::retired},
};

constexpr StateTable<HandlerPhase, HandlerEvent> kHandlerTable{kRows};

}  // namespace

std::optional<HandlerPhase> handler_transition(HandlerPhase phase, HandlerEvent event) {
    return kHandlerTable.next(phase, event);
}

const StateTable<HandlerPhase, HandlerEvent>& handler_table() {
    return kHandlerTable;
}

}  // namespace corvane
