#pragma once
// BookSync: keeps one book in step with an exchange, with no socket: it is fed the book's pushes
// and REST snapshots as they come and returns what the caller must do (ask for the snapshot after
// a delay, report the book synced or resynced). The exchange's sequence rule is a SequenceRule.
// Until the book is synced, pushes are kept (bounded); the REST snapshot is aligned with them as
// the exchanges document; afterwards every push must follow the last. A push older than the book
// (or than the pushes kept) is a repeat or came late, and is dropped: no resync. A break, an
// unreadable push, a reconnect or a crossed book starts it over by itself. Its states and transitions:
// book_sync_state.hpp. Owned by one thread (the connection's); no lock.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "core/book/book_push.hpp"
#include "core/book/book_sync_state.hpp"
#include "core/book/order_book.hpp"
#include "core/book/snapshot_pacer.hpp"

namespace corvane::book {

enum class ResyncReason : std::uint8_t { start, gap, reconnect, crossed, snapshot_failed };
const char* resync_reason_text(ResyncReason reason);  // "start", "gap", ...

struct BookSyncLimits {
    std::size_t max_kept_pushes = 1000;     // kept while the snapshot is awaited
    std::size_t max_kept_levels = 200000;  // their levels, all together
    bool check_crossed = true;              // off during a call auction
    PacerLimits pacing;
};

// Ask the REST snapshot `delay` from now; its answer goes back with `id`.
struct SnapshotRequest {
    std::uint64_t id = 0;
    Millis delay{0};
};

// What one call asks of the caller; several at once, in this order: report the resync, report
// the book synced, ask the snapshot.
struct BookActions {
    std::optional<ResyncReason> resync;
    bool synced = false;
    bool changed = false;  // the book's levels or sequence changed
    std::optional<SnapshotRequest> request;
};

class BookSync {
public:
    BookSync(const SequenceRule& rule, BookSyncLimits limits)
        : rule(rule), limits(limits), pacer(limits.pacing) {}

    // Subscribed for the first time: reports the resync "start".
    BookActions start();
    BookActions on_push(BookPush push, Millis now);
    // A push of this book that could not be read: lost, as if it never came.
    BookActions on_unreadable_push(Millis now);
    BookActions on_snapshot(std::uint64_t request, BookPush snapshot, Millis now);
    // The request was refused or never answered.
    BookActions on_snapshot_failed(std::uint64_t request, Millis now);
    BookActions on_reconnect();

    BookState state() const { return state_; }
    bool synced() const { return state_ == BookState::synced; }
    const OrderBook& book() const { return book_; }
    std::size_t kept_pushes() const { return kept.size(); }

private:
    void fire(BookEvent event);
    void start_over(BookEvent event, ResyncReason reason, BookActions& out);
    void keep(BookPush&& push, Millis now, BookActions& out);
    void take_next(BookPush&& push, bool continues, Millis now, BookActions& out);
    void ask_snapshot(Millis now, BookActions& out);
    void take_whole(const BookPush& push, BookActions& out);
    void apply(const BookPush& push);
    // Fires `event` into synced (or aligning), unless the book is crossed.
    void settle(BookEvent event, BookActions& out);
    void align(BookPush&& snapshot, Millis now, BookActions& out);

    const SequenceRule& rule;
    const BookSyncLimits limits;
    SnapshotPacer pacer;
    BookState state_ = BookState::buffering;
    OrderBook book_;
    std::deque<BookPush> kept;
    std::size_t kept_levels = 0;
    std::uint64_t request_id = 0;  // the request whose answer is awaited (0: none)
    std::uint64_t last_id = 0;
};

}  // namespace corvane::book
