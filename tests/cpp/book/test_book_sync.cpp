// BookSync with a plain rule (each push starts where the last ended): what it asks of its caller
// while buffering, aligning a REST snapshot, synced, and through every kind of start-over; the
// exchanges' own rules are tested with their readers (okx/test_okx_book.cpp,
// mexc/test_mexc_book.cpp).

#include <gtest/gtest.h>

#include <string>

#include "core/book/book_sync.hpp"

namespace corvane::book {
namespace {

using std::chrono::milliseconds;

class ChainRule final : public SequenceRule {
public:
    bool follows(std::int64_t last, const BookPush& p) const override { return p.first == last; }
    bool too_old(std::int64_t snap, const BookPush& p) const override { return snap < p.first; }
    bool covered(std::int64_t snap, const BookPush& p) const override { return p.last <= snap; }
    bool straddles(std::int64_t snap, const BookPush& p) const override {
        return p.first <= snap && snap < p.last;
    }
};
const ChainRule kChain;

Level lv(const char* price, const char* size) {
    return Level{*Decimal::parse(price), *Decimal::parse(size)};
}

BookPush update(std::int64_t first, std::int64_t last, std::vector<Level> bids = {},
                std::vector<Level> asks = {}) {
    BookPush push;
    push.first = first;
    push.last = last;
    push.bids = std::move(bids);
    push.asks = std::move(asks);
    return push;
}

BookPush whole(std::int64_t seq, std::vector<Level> bids, std::vector<Level> asks) {
    BookPush push = update(0, seq, std::move(bids), std::move(asks));
    push.kind = BookPush::Kind::snapshot;
    return push;
}

std::string book_text(const OrderBook& book) {
    std::string out;
    for (const Level& level : book.levels(Side::bid))
        out += level.price.text() + ":" + level.size.text() + " ";
    out += "|";
    for (const Level& level : book.levels(Side::ask))
        out += " " + level.price.text() + ":" + level.size.text();
    return out;
}

class BookSyncTest : public ::testing::Test {
protected:
    BookSyncLimits limits() {
        BookSyncLimits limits;
        limits.max_kept_pushes = 4;
        return limits;
    }
    BookSync sync{kChain, limits()};
    milliseconds now{1000};
};

TEST_F(BookSyncTest, RestSnapshotAlignedWithKeptPushes) {
    EXPECT_EQ(sync.start().resync, ResyncReason::start);
    BookActions first = sync.on_push(update(10, 11, {lv("100", "1")}), now);
    ASSERT_TRUE(first.request);
    EXPECT_EQ(first.request->delay, milliseconds(0));
    EXPECT_FALSE(sync.on_push(update(11, 12, {lv("100", "2")}), now).request);
    EXPECT_FALSE(sync.on_push(update(12, 13, {}, {lv("102", "1")}), now).request);
    EXPECT_EQ(sync.state(), BookState::snapshot_requested);

    const BookActions done = sync.on_snapshot(
        first.request->id, whole(11, {lv("100", "1"), lv("99", "4")}, {lv("101", "3")}), now);
    EXPECT_TRUE(done.synced);
    EXPECT_TRUE(done.changed);
    EXPECT_FALSE(done.resync);
    EXPECT_EQ(book_text(sync.book()), "100:2 99:4 | 101:3 102:1");  // 10->11 dropped as covered
    EXPECT_EQ(sync.book().seq, 13);

    EXPECT_TRUE(sync.on_push(update(13, 14, {lv("99", "0")}), now).changed);
    EXPECT_EQ(book_text(sync.book()), "100:2 | 101:3 102:1");
    const BookActions gap = sync.on_push(update(15, 16), now);  // 14->15 lost
    EXPECT_EQ(gap.resync, ResyncReason::gap);
    ASSERT_TRUE(gap.request);  // the push after the gap is kept and the snapshot asked again
    EXPECT_EQ(sync.state(), BookState::snapshot_requested);
    EXPECT_EQ(book_text(sync.book()), "100:2 | 101:3 102:1");  // held, but not synced
}

TEST_F(BookSyncTest, SnapshotOlderThanKeptPushesIsFetchedAgainAndMissingLinkStartsOver) {
    const BookActions first = sync.on_push(update(20, 21), now);
    const BookActions again = sync.on_snapshot(first.request->id, whole(19, {}, {}), now);
    ASSERT_TRUE(again.request);
    EXPECT_FALSE(again.resync);  // the recipe's own retry, not a failure
    EXPECT_GE(again.request->delay, milliseconds(50));
    EXPECT_EQ(sync.state(), BookState::snapshot_requested);
    EXPECT_FALSE(sync.on_snapshot(first.request->id, whole(25, {}, {}), now).changed);  // stale

    // Newer than every kept push: held, and the next push must continue it.
    const BookActions alone =
        sync.on_snapshot(again.request->id, whole(23, {lv("5", "1")}, {lv("6", "1")}), now);
    EXPECT_TRUE(alone.changed);
    EXPECT_FALSE(alone.synced);
    EXPECT_EQ(sync.state(), BookState::aligning);
    EXPECT_FALSE(sync.on_push(update(21, 22), now).changed);  // covered
    EXPECT_TRUE(sync.on_push(update(22, 24, {lv("5", "2")}), now).synced);
    EXPECT_EQ(book_text(sync.book()), "5:2 | 6:1");

    BookSync other{kChain, limits()};
    const BookActions asked = other.on_push(update(30, 31), now);
    other.on_snapshot(asked.request->id, whole(32, {}, {}), now);
    const BookActions skipped = other.on_push(update(33, 34), now);  // 32->33 never came
    EXPECT_EQ(skipped.resync, ResyncReason::gap);
    EXPECT_TRUE(skipped.request);
}

TEST_F(BookSyncTest, SnapshotPushServesInsteadOfRestAndLateAnswerIsIgnored) {
    const BookActions first = sync.on_push(update(1, 2), now);
    const BookActions taken = sync.on_push(whole(7, {lv("1", "1")}, {lv("2", "1")}), now);
    EXPECT_TRUE(taken.synced);
    EXPECT_EQ(sync.book().seq, 7);
    const BookActions late = sync.on_snapshot(first.request->id, whole(3, {}, {}), now);
    EXPECT_FALSE(late.changed);
    EXPECT_EQ(book_text(sync.book()), "1:1 | 2:1");
    EXPECT_TRUE(sync.on_push(update(7, 8), now).changed);
    // Whole books each push: synced once, every later one replaces the book.
    BookSync whole_books{kChain, limits()};
    EXPECT_TRUE(whole_books.on_push(whole(1, {lv("1", "1")}, {}), now).synced);
    const BookActions next = whole_books.on_push(whole(2, {lv("1.5", "1")}, {}), now);
    EXPECT_FALSE(next.synced);
    EXPECT_FALSE(next.request);
    EXPECT_EQ(book_text(whole_books.book()), "1.5:1 |");
}

TEST_F(BookSyncTest, KeptPushesAreBoundedAndMustFollowEachOther) {
    sync.on_push(update(1, 2), now);
    sync.on_push(update(2, 3), now);
    const BookActions broken = sync.on_push(update(4, 5), now);
    EXPECT_EQ(broken.resync, ResyncReason::gap);
    ASSERT_TRUE(broken.request);
    EXPECT_EQ(sync.kept_pushes(), 1u);
    for (int i = 5; i < 8; ++i)
        EXPECT_FALSE(sync.on_push(update(i, i + 1), now).resync);
    const BookActions full = sync.on_push(update(8, 9), now);  // a fifth kept push
    EXPECT_EQ(full.resync, ResyncReason::snapshot_failed);
    ASSERT_TRUE(full.request);
    EXPECT_EQ(sync.kept_pushes(), 1u);
    EXPECT_FALSE(sync.on_snapshot(broken.request->id, whole(8, {}, {}), now).changed);
}

TEST_F(BookSyncTest, RepeatsAndLatePushesAreDroppedWithOneStartOverInAll) {
    const BookActions asked = sync.on_push(update(1, 2), now);
    sync.on_snapshot(asked.request->id, whole(2, {lv("10", "1")}, {lv("12", "1")}), now);
    sync.on_push(update(2, 3, {lv("10", "2")}), now);
    ASSERT_TRUE(sync.synced());
    const BookActions repeat = sync.on_push(update(2, 3, {lv("10", "5")}), now);
    EXPECT_FALSE(repeat.resync || repeat.changed);
    EXPECT_EQ(book_text(sync.book()), "10:2 | 12:1");

    // 4-5 overtakes 3-4: one start-over; 3-4 then comes late, 4-5 again, and 5-6 follows.
    EXPECT_EQ(sync.on_push(update(4, 5), now).resync, ResyncReason::gap);
    for (const BookPush& push : {update(3, 4), update(4, 5), update(1, 2)})
        EXPECT_FALSE(sync.on_push(push, now).resync);
    const BookActions next = sync.on_push(update(5, 6, {lv("11", "1")}), now);
    EXPECT_FALSE(next.resync);
    EXPECT_EQ(sync.kept_pushes(), 2u);
    const BookActions again = sync.on_push(update(7, 8), now);  // a real break still is one
    EXPECT_EQ(again.resync, ResyncReason::gap);
}

TEST_F(BookSyncTest, FailedSnapshotsAreRetriedBackedOffWithinTheLimit) {
    BookActions asked = sync.on_push(update(1, 2), now);
    milliseconds at = now + asked.request->delay;
    milliseconds gap_before(0);
    for (int i = 0; i < 12; ++i) {
        const BookActions failed = sync.on_snapshot_failed(asked.request->id, at);
        EXPECT_EQ(failed.resync, ResyncReason::snapshot_failed);
        ASSERT_TRUE(failed.request);
        EXPECT_GE(failed.request->delay, milliseconds(50));
        EXPECT_GE(failed.request->delay, gap_before);
        EXPECT_LE(failed.request->delay, milliseconds(10000));
        gap_before = failed.request->delay;
        at += failed.request->delay;
        asked = failed;
    }
    EXPECT_EQ(gap_before, milliseconds(10000));
    EXPECT_TRUE(sync.on_snapshot(asked.request->id, whole(1, {}, {}), at).synced);
    // Synced again: the next start-over asks at once (the minimum interval passed long ago).
    const BookActions gap = sync.on_push(update(5, 6), at + milliseconds(60000));
    EXPECT_EQ(gap.request->delay, milliseconds(0));
    const BookActions failed = sync.on_snapshot_failed(gap.request->id, at + milliseconds(60000));
    EXPECT_EQ(failed.request->delay, milliseconds(50));
}

TEST_F(BookSyncTest, ReconnectCrossedAndUnreadablePushesStartOver) {
    const BookActions asked = sync.on_push(update(1, 2), now);
    sync.on_snapshot(asked.request->id, whole(1, {lv("10", "1")}, {lv("11", "1")}), now);
    ASSERT_TRUE(sync.synced());

    const BookActions unreadable = sync.on_unreadable_push(now);
    EXPECT_EQ(unreadable.resync, ResyncReason::gap);
    EXPECT_FALSE(unreadable.changed);
    EXPECT_EQ(book_text(sync.book()), "10:1 | 11:1");
    EXPECT_EQ(sync.state(), BookState::buffering);
    EXPECT_FALSE(sync.on_unreadable_push(now).resync);  // nothing kept, nothing lost

    sync.on_push(whole(3, {lv("10", "1")}, {lv("11", "1")}), now);
    ASSERT_TRUE(sync.synced());
    const BookActions crossed = sync.on_push(update(3, 4, {lv("11", "2")}), now);
    EXPECT_EQ(crossed.resync, ResyncReason::crossed);
    EXPECT_FALSE(crossed.synced);
    EXPECT_EQ(sync.state(), BookState::buffering);

    const BookActions again = sync.on_push(update(4, 5), now);
    ASSERT_TRUE(again.request);
    const BookActions reconnect = sync.on_reconnect();
    EXPECT_EQ(reconnect.resync, ResyncReason::reconnect);
    EXPECT_EQ(sync.state(), BookState::buffering);
    EXPECT_EQ(sync.kept_pushes(), 0u);
    EXPECT_FALSE(sync.on_snapshot(again.request->id, whole(5, {}, {}), now).changed);
    EXPECT_FALSE(sync.on_snapshot_failed(again.request->id, now).request);

    BookSyncLimits auction = limits();
    auction.check_crossed = false;
    BookSync call_auction{kChain, auction};
    EXPECT_TRUE(call_auction.on_push(whole(1, {lv("11", "1")}, {lv("10", "1")}), now).synced);
}

}  // namespace
}  // namespace corvane::book
