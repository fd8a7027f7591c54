#include "core/book/book_sync.hpp"

#include <stdexcept>
#include <string>
#include <utility>

namespace corvane::book {
namespace {

std::size_t levels_of(const BookPush& push) {
    return push.bids.size() + push.asks.size();
}

}  // namespace

const char* resync_reason_text(ResyncReason reason) {
    switch (reason) {
        case ResyncReason::start:
            return "start";
        case ResyncReason::gap:
            return "gap";
        case ResyncReason::reconnect:
            return "reconnect";
        case ResyncReason::crossed:
            return "crossed";
        case ResyncReason::snapshot_failed:
            return "snapshot_failed";
    }
    return "?";
}

BookActions BookSync::start() {
    BookActions out;
    out.resync = ResyncReason::start;
    return out;
}

BookActions BookSync::on_push(BookPush push, Millis now) {
    BookActions out;
    if (push.kind == BookPush::Kind::snapshot) {
        take_whole(push, out);
        return out;
    }
    switch (state_) {
        case BookState::buffering:
            keep(std::move(push), now, out);
            break;
        case BookState::snapshot_requested:
            if (!kept.empty() && !rule.follows(kept.back().last, push)) {
                // A repeat, or a push overtaken by the one kept after it: the snapshot must
                // reach the kept pushes, so it holds this one too.
                if (rule.covered(kept.back().last, push)) break;
                start_over(BookEvent::gap, ResyncReason::gap, out);
            } else if (kept.size() >= limits.max_kept_pushes ||
                       kept_levels + levels_of(push) > limits.max_kept_levels) {
                start_over(BookEvent::overflow, ResyncReason::snapshot_failed, out);
            }
            keep(std::move(push), now, out);
            break;
        case BookState::aligning: {
            if (rule.covered(book_.seq, push)) break;  // the snapshot holds it already
            const bool continues = rule.straddles(book_.seq, push);
            take_next(std::move(push), continues, now, out);
            break;
        }
        case BookState::synced: {
            const bool continues = rule.follows(book_.seq, push);
            if (!continues && rule.covered(book_.seq, push)) break;  // a repeat: applied already
            take_next(std::move(push), continues, now, out);
            break;
        }
    }
    return out;
}

// A push past the book: applied if it continues it, else the book starts over from it.
void BookSync::take_next(BookPush&& push, bool continues, Millis now, BookActions& out) {
    if (!continues) {
        start_over(BookEvent::gap, ResyncReason::gap, out);
        keep(std::move(push), now, out);
        return;
    }
    apply(push);
    out.changed = true;
    settle(BookEvent::push, out);
}

BookActions BookSync::on_unreadable_push(Millis) {
    BookActions out;
    // Nothing kept yet: the lost push is older than whatever comes next, which starts the count.
    if (state_ != BookState::buffering) start_over(BookEvent::gap, ResyncReason::gap, out);
    return out;
}

BookActions BookSync::on_snapshot(std::uint64_t request, BookPush snapshot, Millis now) {
    BookActions out;
    if (request == 0 || request != request_id || state_ != BookState::snapshot_requested) {
        return out;  // asked before the last start-over: it says nothing of the pushes kept now
    }
    request_id = 0;
    align(std::move(snapshot), now, out);
    return out;
}

BookActions BookSync::on_snapshot_failed(std::uint64_t request, Millis now) {
    BookActions out;
    if (request == 0 || request != request_id || state_ != BookState::snapshot_requested) {
        return out;
    }
    fire(BookEvent::snapshot_failed);
    out.resync = ResyncReason::snapshot_failed;
    ask_snapshot(now, out);
    return out;
}

BookActions BookSync::on_reconnect() {
    BookActions out;
    start_over(BookEvent::reconnect, ResyncReason::reconnect, out);
    return out;
}

void BookSync::fire(BookEvent event) {
    const std::optional<BookState> next = book_transition(state_, event);
    if (!next) {
        throw std::logic_error(std::string("book sync: no transition from ") +
                               book_state_name(state_) + " on event " +
                               std::to_string(static_cast<int>(event)));
    }
    state_ = *next;
}

void BookSync::start_over(BookEvent event, ResyncReason reason, BookActions& out) {
    kept.clear();
    kept_levels = 0;
    request_id = 0;
    fire(event);
    out.resync = reason;
}

void BookSync::keep(BookPush&& push, Millis now, BookActions& out) {
    const bool first = state_ == BookState::buffering;
    kept_levels += levels_of(push);
    kept.push_back(std::move(push));
    fire(BookEvent::push);
    if (first) ask_snapshot(now, out);
}

void BookSync::ask_snapshot(Millis now, BookActions& out) {
    request_id = ++last_id;
    out.request = SnapshotRequest{request_id, pacer.next_request(now)};
}

void BookSync::take_whole(const BookPush& push, BookActions& out) {
    kept.clear();
    kept_levels = 0;
    request_id = 0;
    book_.replace(push.bids, push.asks);
    book_.seq = push.last;
    book_.ts = push.ts;
    out.changed = true;
    settle(BookEvent::snapshot, out);
}

void BookSync::apply(const BookPush& push) {
    book_.apply(Side::bid, push.bids);
    book_.apply(Side::ask, push.asks);
    book_.seq = push.last;
    if (push.ts != 0) book_.ts = push.ts;
}

void BookSync::settle(BookEvent event, BookActions& out) {
    if (limits.check_crossed && book_.crossed()) {
        start_over(BookEvent::crossed, ResyncReason::crossed, out);
        return;
    }
    const bool was_synced = synced();
    fire(event);
    if (synced() && !was_synced) {
        out.synced = true;
        pacer.synced();
    }
}

// The exchanges' recipe: a snapshot older than the first kept push is fetched again; the kept
// pushes it covers are dropped; the first left must continue it; the rest follow in order.
void BookSync::align(BookPush&& snapshot, Millis now, BookActions& out) {
    if (!kept.empty() && rule.too_old(snapshot.last, kept.front())) {
        fire(BookEvent::snapshot_failed);
        ask_snapshot(now, out);
        return;
    }
    // A snapshot at exactly the last kept push is the book after it: in sync now, not at the
    // next push, which on a quiet book may be a minute away (OKX) or never come (MEXC).
    const bool at_last_push = !kept.empty() && kept.back().last == snapshot.last;
    while (!kept.empty() && rule.covered(snapshot.last, kept.front())) {
        kept_levels -= levels_of(kept.front());
        kept.pop_front();
    }
    if (!kept.empty() && !rule.straddles(snapshot.last, kept.front())) {
        start_over(BookEvent::gap, ResyncReason::gap, out);
        return;
    }
    book_.replace(snapshot.bids, snapshot.asks);
    book_.seq = snapshot.last;
    book_.ts = snapshot.ts;
    out.changed = true;
    const bool alone = kept.empty();
    for (const BookPush& push : kept)
        apply(push);
    kept.clear();
    kept_levels = 0;
    settle(alone && !at_last_push ? BookEvent::snapshot_alone : BookEvent::snapshot, out);
}

}  // namespace corvane::book
