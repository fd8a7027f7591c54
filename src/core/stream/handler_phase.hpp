#pragma once
// The phase of an exchange's handler on one connection (connection_handler.hpp), the same for
// every exchange: one state, its transitions in one table. Pure: the handler does what each
// transition says, the tests drive the table alone. Run thread only.
//
//   phase       event            next        what the handler does
//   opening     login_sent       logging_in  the login request is out; what comes is examined
//                                            for its reply
//   logging_in  login_refused    refused     nothing is replayed
//   opening     replay_sent      replaying   the channels are subscribed again; their answers
//   logging_in  replay_sent      replaying   (the login was accepted)
//   replaying   replay_answered  ready       every replayed channel answered: the connection can
//                                            take over a stream
//   opening, refused, ready, retiring, retired
//               stop_sent        retiring    a switch-over retires it: every push is asked to
//                                            stop, and the exchange's answers are awaited
//   retiring    drained          retired     answered: the connection can close
//
// A connection logging in or replaying cannot be asked to stop its pushes (it is closed at
// once instead).

#include <cstdint>
#include <optional>

#include "core/state/state_table.hpp"

namespace corvane {

enum class HandlerPhase : std::uint8_t {
    opening,
    logging_in,
    refused,
    replaying,
    ready,
    retiring,
    retired,
};
enum class HandlerEvent : std::uint8_t {
    login_sent,
    login_refused,
    replay_sent,
    replay_answered,
    stop_sent,
    drained,
};

// The next phase, or nullopt when `event` changes nothing in `phase`.
std::optional<HandlerPhase> handler_transition(HandlerPhase phase, HandlerEvent event);

const StateTable<HandlerPhase, HandlerEvent>& handler_table();

// One handler's phase, moved only through the table; it starts `opening`.
class HandlerPhases : public StateMachine<HandlerPhase, HandlerEvent> {
public:
    HandlerPhases() : StateMachine(handler_table(), HandlerPhase::opening) {}
    // Whether `event` would move it.
    bool allows(HandlerEvent event) const { return handler_transition(state(), event).has_value(); }
};

}  // namespace corvane
