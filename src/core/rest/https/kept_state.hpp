#pragma once
// The life of one kept-alive REST connection (kept_connection.hpp) as one state, its
// transitions in one table. Pure: the connection does what each transition says.
//
//   state      event  next       when
//   opening    send   busy       handshake done, a call held: its request is written
//   opening    rest   idle       handshake done, none held
//   idle       send   busy       a call taken, the socket quiet
//   busy       read   answering  the request written, or the idle read came back: the answer
//                                is read (once per request)
//   answering  rest   idle       the whole answer, keep-alive
//   any open   close  closed     failure, the server's close, "Connection: close", the idle
//                                limit, abort
//   closed     (anything)        nothing: a late completion is ignored

#include <cstdint>
#include <optional>

namespace corvane::https {

enum class KeptState : std::uint8_t { opening, idle, busy, answering, closed };
enum class KeptEvent : std::uint8_t { send, rest, read, close };

// The next state, or nullopt when `event` changes nothing in `state`.
std::optional<KeptState> kept_transition(KeptState state, KeptEvent event);

// Whether a connection in `state` carries a call (its request or its answer under way).
inline bool carries_call(KeptState state) {
    return state == KeptState::busy || state == KeptState::answering;
}

}  // namespace corvane::https
