#pragma once
// BookKeeper: the tracked order books (core/book/kept_book.hpp) as one stream keeps them. Each
// batch the stream delivers passes through it: a tracked book's push is read and applied on the
// spot (and kept from the readers unless the book delivers its pushes), and the book's
// "book_resync" and "book_synced" events take the push's place. A book that needs its REST
// snapshot gets it here, paced by its sync, over the kept-alive REST client; the answer comes
// back on the run thread. Books tracked while the stream runs are taken up at its next batch
// or when the connector asks (refresh). It sits after the switch-over's reconciliation: a
// switch-over shows it one unbroken sequence, so the book goes on without a resync.
//
// Run thread only (the stream's); made and destroyed there with its Feed.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "core/book/kept_book.hpp"
#include "core/inbound/message_batch.hpp"
#include "core/rest/https_client.hpp"
#include "core/stream/run_loop.hpp"

namespace corvane {

// What an exchange's books need from a stream. Plain data, set by the exchange per connect.
struct BookSource {
    book::BookRegistry* registry = nullptr;  // null: the connector tracks no books
    // A book push's channel and instrument (views into the message); false for any other.
    bool (*key)(const InboundMessage& message, std::string_view& channel,
                std::string_view& instrument) = nullptr;
    std::optional<book::BookPush> (*read_push)(std::string_view payload) = nullptr;
    https::Endpoint endpoint;  // the exchange's REST host
    https::Request (*snapshot_request)(const book::BookKey& key) = nullptr;
    std::optional<book::BookPush> (*read_snapshot)(std::string_view body) = nullptr;
    // The exchange's REST limit for the snapshot, as the least time between two requests of
    // the stream's books together (each book also backs off on its own).
    std::chrono::milliseconds min_interval{0};
};

class BookKeeper {
public:
    // `deliver` queues events that come outside a batch (a snapshot's answer).
    using Deliver = std::function<void(std::vector<InboundMessage>&)>;
    BookKeeper(BookSource source, RunLoop& loop, Deliver deliver);
    ~BookKeeper();
    BookKeeper(const BookKeeper&) = delete;
    BookKeeper& operator=(const BookKeeper&) = delete;

    bool any() const { return source.registry != nullptr; }
    // Applies the tracked books' pushes in `batch`, in place.
    void take(std::vector<InboundMessage>& batch);
    // Takes up books tracked since the last look, and lets go of untracked ones.
    void refresh();
    // The stream has ended: every book is out of sync until the next stream resyncs it.
    void end(std::vector<InboundMessage>& out);

private:
    struct Tracked;
    using Millis = std::chrono::milliseconds;
    static Millis now();
    Tracked* find(std::string_view channel, std::string_view instrument);
    void refresh(std::vector<InboundMessage>& out);
    void apply(Tracked& tracked, const InboundMessage& message, std::vector<InboundMessage>& out);
    void act(Tracked& tracked, const book::BookActions& actions, std::uint32_t connection,
             std::vector<InboundMessage>& out);
    void ask(Tracked& tracked, book::SnapshotRequest request);
    void answered(Tracked& tracked, std::uint64_t request, const https::Reply& reply);

    const BookSource source;
    RunLoop& loop;
    Deliver deliver;
    std::uint64_t generation = 0;  // the registry's, when last looked at
    Millis next_free{0};           // the earliest time the next snapshot request may go
    std::vector<std::unique_ptr<Tracked>> books;
    std::vector<std::unique_ptr<https::Pending>> finished;  // answered calls, dropped later
};

}  // namespace corvane
