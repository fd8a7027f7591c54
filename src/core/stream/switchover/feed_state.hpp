#pragma once
// The life of a stream (Feed) as one state, its transitions in one table. Pure: the Feed does
// what each transition says (feed.cpp), the tests drive the table alone.
//
//   state     event              next      what the Feed does
//   live      switch_due         opening   a replacement opens (paced), logs in, subscribes; its
//                                          messages are held, the old one's copies kept
//   opening   ready              draining  it takes over: sends go to it; the old one is asked
//                                          to stop its pushes and reads, past limit_queue's
//                                          bound, until the exchange has answered
//   opening   retry              opening   that replacement failed; another one, time allowing
//   opening   gave_up            live      no more tries: the old one runs on to its end
//   opening   current_ended      opening   the replacement takes over once ready
//   opening   ended_all          ended     neither connection is left
//   draining  drained            live      the switch event, then the held messages less the
//                                          twins, are queued; the old one closes; a switch-over
//                                          asked for meanwhile begins (switch_due)
//   draining  current_ended      ended     (the old one drains first, the held messages queued)
//   live      current_ended      ended     the readers end once every connection has
//   live, opening, draining
//             close              closing   every connection closes; nothing new opens
// No other pair has a transition: a switch_due while one is under way is remembered (opening:
// the close expected soonest counts), anything in closing or ended changes nothing.

#include <cstdint>
#include <optional>

namespace corvane {

enum class FeedState : std::uint8_t { live, opening, draining, closing, ended };
enum class FeedEvent : std::uint8_t {
    switch_due,     // the exchange's notice, or max_connection_age
    ready,          // the replacement has every channel acknowledged
    retry,          // the replacement failed, and another one fits in before the close
    gave_up,        // the replacement failed, and none is tried any more
    drained,        // the old connection has delivered everything it will get, or has ended
    current_ended,  // the connection carrying the stream has ended
    ended_all,      // no connection is left to carry the stream
    close,          // disconnect()
};

// The next state, or nullopt when `event` changes nothing in `state`.
std::optional<FeedState> feed_transition(FeedState state, FeedEvent event);

}  // namespace corvane
