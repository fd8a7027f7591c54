#pragma once
// The life of one TLS stream (tls_stream.hpp) as one state, its transitions in one table. Pure.
//
//   state           event    next            what the stream does
//   detached        attach   open            the connected socket goes to OpenSSL (handshake)
//   open            hold     holding         a read asked for waits until released
//   holding         release  open            the waiting read starts (or is dropped)
//   open            fail     failed          a fatal TLS or socket error: no close_notify sent
//   holding         fail     failed_holding
//   failed          hold     failed_holding
//   failed_holding  release  failed
//
// A hold while held, or a release while not, changes nothing.

#include <cstdint>
#include <optional>

namespace corvane {

enum class TlsState : std::uint8_t { detached, open, holding, failed, failed_holding };
enum class TlsEvent : std::uint8_t { attach, hold, release, fail };

// The next state, or nullopt when `event` changes nothing in `state`.
std::optional<TlsState> tls_transition(TlsState state, TlsEvent event);

// Reads asked for in `state` wait for a release.
inline bool reads_held(TlsState state) {
    return state == TlsState::holding || state == TlsState::failed_holding;
}

// A stream in `state` may close with a close_notify: attached, and no fatal error met.
inline bool may_shut_down(TlsState state) {
    return state == TlsState::open || state == TlsState::holding;
}

}  // namespace corvane
