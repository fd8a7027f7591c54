#pragma once
// The life of one kept book (BookSync): one state, its transitions in one table. Pure.
//
//   state               event            next
//   buffering           push             snapshot_requested  first push kept, snapshot asked
//   buffering           snapshot         synced              a whole book came in a push
//   buffering           crossed          buffering           ... but it was crossed
//   buffering           reconnect        buffering
//   snapshot_requested  push             snapshot_requested  kept while the snapshot is awaited
//   snapshot_requested  snapshot         synced              REST snapshot lined up with the kept
//                                                            pushes (or a whole book came)
//   snapshot_requested  snapshot_alone   aligning            REST snapshot newer than every kept
//                                                            push (not at the last one's end):
//                                                            the next must continue it
//   snapshot_requested  snapshot_failed  snapshot_requested  refused, unanswered, or older than
//                                                            the kept pushes: asked again, later
//   snapshot_requested  gap              buffering           kept pushes break, or none continues
//                                                            the snapshot: dropped, start over
//   snapshot_requested  overflow         buffering           too many kept: dropped, start over
//   snapshot_requested  crossed          buffering
//   snapshot_requested  reconnect        buffering
//   aligning            push             synced              a push continued the snapshot
//   aligning            snapshot         synced
//   aligning            gap              buffering
//   aligning            crossed          buffering
//   aligning            reconnect        buffering
//   synced              push             synced              applied
//   synced              snapshot         synced
//   synced              gap              buffering           a push did not follow, or unreadable
//   synced              crossed          buffering
//   synced              reconnect        buffering
//
// A REST answer to a request made before the last start-over is ignored before the table.

#include <cstdint>
#include <optional>

namespace corvane::book {

enum class BookState : std::uint8_t { buffering, snapshot_requested, aligning, synced };
enum class BookEvent : std::uint8_t {
    push,
    snapshot,
    snapshot_alone,
    snapshot_failed,
    gap,
    overflow,
    crossed,
    reconnect,
};

// The next state, or nullopt when `event` changes nothing in `state`.
std::optional<BookState> book_transition(BookState state, BookEvent event);

const char* book_state_name(BookState state);

}  // namespace corvane::book
