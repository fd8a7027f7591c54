#pragma once
// KeptBook: one order book a program tracks, kept in step by its BookSync on the stream's run
// thread and read from any thread as consistent copies. BookRegistry: a connector's tracked
// books, which outlive its streams (a reconnect keeps the book object and resyncs it).
//
// Threads: the run thread of the connector's current stream feeds the sync (one stream at a
// time; the next one's thread starts after the last one's has ended); any thread reads. One lock
// per book guards its sync and counts: held for one push's apply or one copy, and no other lock
// is taken under it; no connector thread takes the GIL, so a Python thread may wait for it
// holding the GIL (the wait is one apply at most). The registry's own lock guards its list only.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/book/book_sync.hpp"

namespace corvane::book {

struct BookKey {
    std::string channel;
    std::string instrument;
};

// What a reader sees of a book at one moment.
struct BookStatus {
    std::int64_t seq = 0;
    std::int64_t ts = 0;
    bool synced = false;
    std::uint64_t applied = 0;  // pushes and snapshots applied since tracking began
    std::array<std::uint64_t, 5> resyncs{};  // by ResyncReason
    std::size_t memory_bytes = 0;
};

class KeptBook {
public:
    KeptBook(BookKey key, const SequenceRule& rule, BookSyncLimits limits, bool deliver);

    const BookKey key;
    const bool deliver;  // its raw pushes still go to the readers

    // ---- the run thread ----
    // One step of the sync (`step(sync, now)` returns its BookActions), under the book's lock.
    template <class Step>
    BookActions advance(Step&& step) {
        std::lock_guard<std::mutex> lock(mtx);
        if (retired) return {};
        BookActions actions = step(sync);
        note(actions);
        return actions;
    }
    // Whether the book was ever started (its first resync, "start", has been reported).
    bool started = false;  // run thread only

    // ---- any thread ----
    // The best `depth` levels of a side (all of them for depth 0), best first. A book out of
    // sync shows no levels: what it held may be stale, and a trader must not act on it.
    std::vector<Level> top(Side side, std::size_t depth) const;
    std::optional<Level> best(Side side) const;
    // Both sides and the sequence at one moment (empty sides while out of sync).
    struct Copy {
        std::int64_t seq = 0;
        std::int64_t ts = 0;
        bool synced = false;
        std::vector<Level> bids;
        std::vector<Level> asks;
    };
    Copy copy(std::size_t depth) const;
    BookStatus status() const;
    // Waits until the book is synced (or retired), at most `wait`; whether it is synced. Never
    // under another lock.
    bool wait_synced(std::chrono::milliseconds wait) const;
    // Untracked, or its connector is going: out of sync for good, whatever a stream still
    // feeds it; its waiters end.
    void retire();
    // Changes whenever the levels do: a reader may keep what it built from an unchanged book.
    std::uint64_t version() const { return changes.load(std::memory_order_acquire); }

private:
    void note(const BookActions& actions);

    mutable std::mutex mtx;
    mutable std::condition_variable synced_cv;  // with mtx: the book synced
    BookSync sync;                             // guarded by mtx
    std::uint64_t applied = 0;                 // guarded by mtx
    bool retired = false;                      // guarded by mtx
    std::array<std::uint64_t, 5> resyncs{};    // guarded by mtx
    std::atomic<std::uint64_t> changes{0};
};

class BookRegistry {
public:
    // The book of `key`, made by `make` unless one is tracked already (then that one: tracking
    // twice is tracking once).
    template <class Make>
    std::shared_ptr<KeptBook> track(const BookKey& key, Make&& make) {
        std::lock_guard<std::mutex> lock(mtx);
        if (auto known = find_locked(key.channel, key.instrument)) return known;
        books.push_back(make());
        generation_.fetch_add(1, std::memory_order_release);
        return books.back();
    }
    // The book goes out of sync for good (retire) as it leaves the list.
    bool untrack(std::string_view channel, std::string_view instrument);
    // Every book retired and the list emptied: the connector is going.
    void retire_all();
    std::vector<std::shared_ptr<KeptBook>> all() const;
    // Changes whenever a book is tracked or untracked.
    std::uint64_t generation() const { return generation_.load(std::memory_order_acquire); }

private:
    std::shared_ptr<KeptBook> find_locked(std::string_view channel,
                                          std::string_view instrument) const;

    mutable std::mutex mtx;
    std::vector<std::shared_ptr<KeptBook>> books;  // guarded by mtx
    std::atomic<std::uint64_t> generation_{0};
};

}  // namespace corvane::book
