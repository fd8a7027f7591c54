#pragma once
// The life of one REST call (job.hpp) as one state, its transitions in one table. Pure.
//
//   state          event    next           what it means
//   waiting        write    sent           its bytes go to a connection: a failure from here
//                                          leaves the outcome unknown
//   sent           refused  waiting_again  the write failed before any byte left (a kept
//                                          connection the server had closed): it goes out once
//                                          more, on a fresh connection
//   waiting_again  write    sent_again     (no second retry)
//   any but done   finish   done           its reply is reported; nothing after that

#include <cstdint>
#include <optional>

namespace corvane::https {

enum class JobState : std::uint8_t { waiting, sent, waiting_again, sent_again, done };
enum class JobEvent : std::uint8_t { write, refused, finish };

// The next state, or nullopt when `event` changes nothing in `state`.
std::optional<JobState> job_transition(JobState state, JobEvent event);

}  // namespace corvane::https
