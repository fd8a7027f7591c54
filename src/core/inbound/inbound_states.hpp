#pragma once
// The two states of an inbound queue, each one enum with its table (inbound_states.cpp): its
// stream (whether a connection is opening or open, which tells a reader on an empty queue to
// wait rather than end) and its bound (whether the producer has stopped reading because too
// much is queued). Pure; the queue (inbound_queue.hpp) and its bound (inbound_bound.hpp) fire
// them under their locks.
//
//   stream:  closed  open   open       a connection is being opened
//            open    end    closed     it has ended: readers drain, then "No more messages"
//   bound:   reading pause  paused     above the limit; a resume is waited for
//            paused  resume reading    the producer reads again (or its connection ended)
//            paused  lift   lifted     it reads on past the limit (to see a notice in time)
//            lifted  resume reading    readers brought the queue below half
//            reading, paused, lifted
//                    overrun overrun   the margin past the limit is full: reading stops
//                                      for good and the connection is closed
//            overrun resume reading    the connection has ended

#include <cstdint>
#include <optional>

namespace corvane {

enum class StreamState : std::uint8_t { closed, open };
enum class StreamEvent : std::uint8_t { open, end };

enum class BoundState : std::uint8_t { reading, paused, lifted, overrun };
enum class BoundEvent : std::uint8_t { pause, resume, lift, overrun };

// The next state, or nullopt when the event changes nothing in that state.
std::optional<StreamState> stream_transition(StreamState state, StreamEvent event);
std::optional<BoundState> bound_transition(BoundState state, BoundEvent event);

}  // namespace corvane
