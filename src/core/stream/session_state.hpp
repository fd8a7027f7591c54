#pragma once
// The life of one connection (Session) as one state, its transitions in one table. Pure: the
// Session does what each transition says (session.cpp), the tests drive the table alone.
//
//   state       event         next        what the Session does
//   connecting  opened        open        the exchange's opening frames; the keep-alive starts
//   connecting  close_asked   unwanted    nothing yet: it closes as soon as it opens
//   unwanted    opened        open        (then close_asked at once)
//   open        close_asked   closing     a close frame after what was sent; reads go on for
//                                         the peer's answer
//   closing     close_asked   closing     (under way)
//   open        ended         ended       the peer closed it, or it dropped: by_peer
//   closing     ended         ended       its close completed, or it dropped
//   connecting  ended         ended       it failed, or the loop ended first
//   unwanted    ended         ended
//   ended       (anything)    ended       one ending event only

#include <cstdint>
#include <optional>

namespace corvane {

enum class SessionState : std::uint8_t { connecting, unwanted, open, closing, ended };
enum class SessionEvent : std::uint8_t {
    opened,       // the WebSocket handshake completed
    close_asked,  // this side closes it (disconnect(), a switch-over, the keep-alive, an error)
    ended,        // closed, failed, or given up with the loop: its ending event is queued
};

// The next state, or nullopt when `event` changes nothing in `state`.
std::optional<SessionState> session_transition(SessionState state, SessionEvent event);

// Whether a connection in `state` takes sends (its handshake done, its close not complete).
inline bool takes_sends(SessionState state) {
    return state == SessionState::open || state == SessionState::closing;
}

}  // namespace corvane
