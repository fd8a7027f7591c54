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
//   opening   switch_due         opening   (one is under way already)
//   draining  drained            live      the old one closes; the held messages, less the
//                                          twins, are queued; a notice meanwhile: switch_due
//   draining  switch_due         draining  remembered until drained
//   draining  current_ended      ended     (the held messages are queued first)
//   live      current_ended      ended     the readers end once every connection has
//   opening   ended_all          ended     neither connection is left
//   any       close              closing   every connection closes; nothing new opens
//   closing   (anything else)    closing
//   ended     (anything)         ended

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
