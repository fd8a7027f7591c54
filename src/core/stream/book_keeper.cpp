#include "core/stream/book_keeper.hpp"

#include <algorithm>
#include <iterator>
#include <string>
#include <utility>

namespace corvane {

struct BookKeeper::Tracked {
    std::shared_ptr<book::KeptBook> book;
    std::unique_ptr<RunTimer> timer;        // until the snapshot's request may go
    std::unique_ptr<https::Pending> pending;  // the request under way
};

namespace {

std::int64_t wall_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// "channel\ninstrument\nreason" (no reason for "book_synced").
InboundMessage book_event(InboundMessage::Kind kind, const book::BookKey& key,
                          const char* reason, std::uint32_t connection) {
    InboundMessage event;
    event.kind = kind;
    event.payload = key.channel + "\n" + key.instrument + "\n" + reason;
    event.recv_ns = wall_ns();
    event.connection = connection;
    return event;
}

}  // namespace

BookKeeper::BookKeeper(BookSource source, RunLoop& loop, Deliver deliver)
    : source(std::move(source)), loop(loop), deliver(std::move(deliver)) {}

BookKeeper::~BookKeeper() = default;

BookKeeper::Millis BookKeeper::now() {
    return std::chrono::duration_cast<Millis>(
        std::chrono::steady_clock::now().time_since_epoch());
}

void BookKeeper::refresh() {
    std::vector<InboundMessage> out;
    refresh(out);
    if (!out.empty()) deliver(out);
}

void BookKeeper::refresh(std::vector<InboundMessage>& out) {
    if (!any() || source.registry->generation() == generation) return;
    generation = source.registry->generation();
    const auto tracked = source.registry->all();
    books.erase(std::remove_if(books.begin(), books.end(),
                               [&](const auto& kept) {
                                   return std::find(tracked.begin(), tracked.end(),
                                                    kept->book) == tracked.end();
                               }),
                books.end());
    for (const auto& book : tracked) {
        const bool known = std::any_of(books.begin(), books.end(),
                                       [&](const auto& kept) { return kept->book == book; });
        if (known) continue;
        books.push_back(std::make_unique<Tracked>(Tracked{book, nullptr, nullptr}));
        if (book->started) continue;  // out of sync since its last stream ended
        book->started = true;
        act(*books.back(), book->advance([](book::BookSync& sync) { return sync.start(); }), 0,
            out);
    }
}

BookKeeper::Tracked* BookKeeper::find(std::string_view channel, std::string_view instrument) {
    for (const auto& kept : books) {
        const book::BookKey& key = kept->book->key;
        if (key.channel == channel && key.instrument == instrument) return kept.get();
    }
    return nullptr;
}

void BookKeeper::take(std::vector<InboundMessage>& batch) {
    if (!any()) return;
    std::vector<InboundMessage> out;
    refresh(out);
    if (books.empty() && out.empty()) return;
    out.reserve(out.size() + batch.size());
    for (InboundMessage& message : batch) {
        std::string_view channel, instrument;
        Tracked* tracked = nullptr;
        if (message.kind == InboundMessage::Kind::message &&
            source.key(message, channel, instrument)) {
            tracked = find(channel, instrument);
        }
        if (tracked == nullptr) {
            out.push_back(std::move(message));
            continue;
        }
        // The push first, then what it did to the book.
        std::vector<InboundMessage> events;
        apply(*tracked, message, events);
        if (tracked->book->deliver) out.push_back(std::move(message));
        std::move(events.begin(), events.end(), std::back_inserter(out));
    }
    batch.swap(out);
}

void BookKeeper::apply(Tracked& tracked, const InboundMessage& message,
                       std::vector<InboundMessage>& out) {
    std::optional<book::BookPush> push = source.read_push(message.payload);
    const Millis at = now();
    const book::BookActions actions = tracked.book->advance([&](book::BookSync& sync) {
        return push ? sync.on_push(std::move(*push), at) : sync.on_unreadable_push(at);
    });
    act(tracked, actions, message.connection, out);
}

// In the order BookActions gives: the resync, the sync, the request.
void BookKeeper::act(Tracked& tracked, const book::BookActions& actions, std::uint32_t connection,
                     std::vector<InboundMessage>& out) {
    const book::BookKey& key = tracked.book->key;
    if (actions.resync) {
        tracked.timer.reset();  // what was asked before says nothing of the book now
        tracked.pending.reset();
        out.push_back(book_event(InboundMessage::Kind::book_resync, key,
                                 book::resync_reason_text(*actions.resync), connection));
    }
    if (actions.synced) {
        out.push_back(book_event(InboundMessage::Kind::book_synced, key, "", connection));
    }
    if (actions.request) ask(tracked, *actions.request);
}

// Each book's own pacing, and the exchange's limit across the books: requests go one at a time,
// at least min_interval apart.
void BookKeeper::ask(Tracked& tracked, book::SnapshotRequest request) {
    const Millis at = now();
    const Millis go = std::max(at + request.delay, next_free);
    next_free = go + source.min_interval;
    tracked.timer = loop.after(go - at, [this, &tracked, id = request.id] {
        finished.clear();  // never from inside one of their own callbacks
        const https::Request call = source.snapshot_request(tracked.book->key);
        tracked.pending = loop.rest(source.endpoint, call, [this, &tracked, id](
                                                              const https::Reply& reply) {
            answered(tracked, id, reply);
        });
    });
}

void BookKeeper::answered(Tracked& tracked, std::uint64_t request, const https::Reply& reply) {
    // This callback's own call: destroyed later, whatever becomes of the book meanwhile.
    finished.push_back(std::move(tracked.pending));
    std::optional<book::BookPush> snapshot;
    if (reply.outcome == https::Reply::Outcome::answered && reply.status == 200) {
        snapshot = source.read_snapshot(reply.body);
    }
    const Millis at = now();
    const book::BookActions actions = tracked.book->advance([&](book::BookSync& sync) {
        return snapshot ? sync.on_snapshot(request, std::move(*snapshot), at)
                        : sync.on_snapshot_failed(request, at);
    });
    std::vector<InboundMessage> out;
    act(tracked, actions, 0, out);
    if (!out.empty()) deliver(out);
}

void BookKeeper::end(std::vector<InboundMessage>& out) {
    for (const auto& kept : books) {
        kept->timer.reset();
        kept->pending.reset();
        if (!kept->book->started) continue;
        const auto actions =
            kept->book->advance([](book::BookSync& sync) { return sync.on_reconnect(); });
        act(*kept, actions, 0, out);
    }
    books.clear();
}

}  // namespace corvane
