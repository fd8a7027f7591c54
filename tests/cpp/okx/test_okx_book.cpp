// OKX books kept by BookSync from the pushes' and the REST reply's own text: the documented
// sequences (snapshot, update, unchanged book, reset) are no gap, a lost push is; the REST
// snapshot is aligned as OKX's changelog says; unreadable pushes never touch the book.

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "book/book_text.hpp"
#include "core/book/book_sync.hpp"
#include "okx/okx_book.hpp"

namespace corvane::okx {
namespace {

using book::book_text;
using book::BookActions;
using book::BookState;
using book::BookSync;
using book::ResyncReason;
using book::Side;
using std::chrono::milliseconds;

std::string push(long prev, long seq, const std::string& bids, const std::string& asks,
                 const char* action = "update", const char* channel = "books") {
    return std::string(R"({"arg":{"channel":")") + channel +
           R"(","instId":"BTC-USDT"},"action":")" + action + R"(","data":[{"asks":[)" + asks +
           R"(],"bids":[)" + bids + R"(],"ts":"1597026383085","checksum":0,"prevSeqId":)" +
           std::to_string(prev) + R"(,"seqId":)" + std::to_string(seq) + "}]}";
}

std::string rest(long seq, const std::string& bids, const std::string& asks) {
    return R"({"code":"0","msg":"","data":[{"asks":[)" + asks + R"(],"bids":[)" + bids +
           R"(],"ts":"1629966436396","seqId":)" + std::to_string(seq) + "}]}";
}

class OkxBook : public ::testing::Test {
protected:
    BookActions feed(const std::string& text) {
        const std::optional<book::BookPush> read = read_book_push(text);
        return read ? sync.on_push(*read, now) : sync.on_unreadable_push(now);
    }
    BookActions answer(const BookActions& asked, const std::string& text) {
        EXPECT_TRUE(asked.request);
        const std::optional<book::BookPush> read = read_book_snapshot(text);
        EXPECT_TRUE(read) << text;
        return sync.on_snapshot(asked.request->id, *read, now);
    }
    BookSync sync{book_sequence_rule(), book::BookSyncLimits{}};
    milliseconds now{0};
};

TEST_F(OkxBook, DocumentedSequenceIsNoGapAndALostPushIs) {
    // snapshot -1->10, update 10->15, unchanged 15->15, reset 15->3, update 3->5
    EXPECT_TRUE(feed(push(-1, 10, R"(["100","1","0","1"],["99","2","0","1"])",
                          R"(["101","1","0","1"])", "snapshot"))
                    .synced);
    for (const std::string& next :
         {push(10, 15, R"(["100","0","0","0"])", R"(["101.5","3","0","2"])"), push(15, 15, "", ""),
          push(15, 3, R"(["99.5","1","0","1"])", ""), push(3, 5, "", R"(["101","0","0","0"])")}) {
        const BookActions done = feed(next);
        EXPECT_FALSE(done.resync) << next;
        EXPECT_FALSE(done.request) << next;
    }
    EXPECT_TRUE(sync.synced());
    EXPECT_EQ(sync.book().seq, 5);
    EXPECT_EQ(sync.book().ts, 1597026383085);
    EXPECT_EQ(book_text(sync.book()), "99.5:1 99:2 | 101.5:3");

    const BookActions lost = feed(push(6, 7, R"(["99","5","0","1"])", ""));  // 5->6 never came
    EXPECT_EQ(lost.resync, ResyncReason::gap);
    EXPECT_TRUE(lost.request);
    EXPECT_EQ(book_text(sync.book()), "99.5:1 99:2 | 101.5:3");

    // Its snapshot back, and a push that crosses the book.
    // At exactly the last kept push: in sync at once.
    EXPECT_TRUE(answer(lost, rest(7, R"(["99.5","1","0","1"],["99","5","0","1"])",
                                  R"(["101.5","3","0","2"])"))
                    .synced);
    EXPECT_FALSE(feed(push(7, 8, "", "")).resync);
    EXPECT_EQ(feed(push(8, 9, R"(["101.5","1","0","1"])", "")).resync, ResyncReason::crossed);
}

TEST_F(OkxBook, RestSnapshotAlignedWithTheKeptPushes) {
    const BookActions asked = feed(push(100, 105, R"(["10","1","0","1"])", ""));
    ASSERT_TRUE(asked.request);
    feed(push(105, 110, R"(["10","2","0","1"])", ""));
    feed(push(110, 112, "", R"(["12","1","0","1"])"));
    EXPECT_FALSE(sync.synced());

    // Older than the first kept push's prevSeqId: asked again.
    const BookActions again =
        answer(asked, rest(99, R"(["9","1","0","1"])", R"(["11","1","0","1"])"));
    EXPECT_TRUE(again.request);
    EXPECT_FALSE(again.changed);
    EXPECT_EQ(sync.state(), BookState::snapshot_requested);

    // At 107: 100->105 is covered, 105->110 continues it (105 <= 107 < 110), 110->112 follows.
    const BookActions done = answer(again, rest(107, R"(["10","1.5","0","1"],["9","1","0","1"])",
                                                R"(["11","1","0","1"])"));
    EXPECT_TRUE(done.synced);
    EXPECT_EQ(sync.book().seq, 112);
    EXPECT_EQ(book_text(sync.book()), "10:2 9:1 | 11:1 12:1");
}

TEST_F(OkxBook, RestAlignmentDropsCoveredPushesAndRefusesAResetItCannotPlace) {
    const BookActions asked = feed(push(12, 15, R"(["10","1","0","1"])", ""));
    feed(push(15, 15, "", ""));
    feed(push(15, 3, R"(["10","4","0","1"])", ""));  // a reset continues 15
    const BookActions done =
        answer(asked, rest(15, R"(["10","1","0","1"])", R"(["11","1","0","1"])"));
    EXPECT_TRUE(done.synced);
    EXPECT_EQ(sync.book().seq, 3);
    EXPECT_EQ(book_text(sync.book()), "10:4 | 11:1");

    BookSync other{book_sequence_rule(), book::BookSyncLimits{}};
    const BookActions asked_other = other.on_push(*read_book_push(push(12, 15, "", "")), now);
    other.on_push(*read_book_push(push(15, 3, "", "")), now);
    other.on_push(*read_book_push(push(3, 5, "", "")), now);
    // 12->15 is covered; the reset does not start at 20, nor does it run past it.
    const BookActions refused =
        other.on_snapshot(asked_other.request->id, *read_book_snapshot(rest(20, "", "")), now);
    EXPECT_EQ(refused.resync, ResyncReason::gap);
    EXPECT_FALSE(refused.changed);
    EXPECT_EQ(other.state(), BookState::buffering);
}

TEST_F(OkxBook, ReadsPushesAndRestRepliesExactly) {
    const auto update = read_book_push(push(10, 15, R"(["8476.98","415","0","13"])",
                                           R"(["8477","0.10","0","2"],["8478","0","0","0"])"));
    ASSERT_TRUE(update);
    EXPECT_EQ(update->kind, book::BookPush::Kind::update);
    EXPECT_EQ(update->first, 10);
    EXPECT_EQ(update->last, 15);
    EXPECT_EQ(update->ts, 1597026383085);
    ASSERT_EQ(update->asks.size(), 2u);
    EXPECT_EQ(update->asks[0].size.text(), "0.1");
    EXPECT_TRUE(update->asks[1].size.is_zero());
    EXPECT_EQ(update->bids[0].price.text(), "8476.98");

    EXPECT_EQ(read_book_push(push(-1, 10, "", ""))->kind, book::BookPush::Kind::snapshot);
    EXPECT_EQ(read_book_push(push(9, 10, "", "", "snapshot"))->kind,
              book::BookPush::Kind::snapshot);
    // books5 and bbo-tbt carry no prevSeqId: a whole book each push.
    const auto five = read_book_push(
        R"({"arg":{"channel":"books5","instId":"BCH-USDT"},"data":[{"asks":[["111","1","0","1"]],)"
        R"("bids":[["110","2","0","1"]],"instId":"BCH-USDT","ts":"1670324386802",)"
        R"("seqId":1708572285}]})");
    ASSERT_TRUE(five);
    EXPECT_EQ(five->kind, book::BookPush::Kind::snapshot);
    EXPECT_EQ(five->last, 1708572285);
    const auto bbo = read_book_push(
        R"({"arg":{"channel":"bbo-tbt","instId":"BCH-USDT"},"data":[{"asks":[["111","1","0","1"]],)"
        R"("bids":[],"ts":"1670324386802"}]})");
    ASSERT_TRUE(bbo);
    EXPECT_EQ(bbo->kind, book::BookPush::Kind::snapshot);

    const auto snapshot =
        read_book_snapshot(rest(123456789012, R"(["41006.8","0.60038921","0","1"])", ""));
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->last, 123456789012);
    EXPECT_EQ(snapshot->bids[0].size.text(), "0.60038921");
    EXPECT_FALSE(read_book_snapshot(R"({"code":"50011","msg":"Too Many Requests","data":[]})"));
    EXPECT_FALSE(read_book_snapshot(  // a reply with no seqId cannot be aligned
        R"({"code":"0","msg":"","data":[{"asks":[],"bids":[],"ts":"1"}]})"));
}

// Every push below is unreadable: refused whole, so the book stays as it was and a resync is
// asked, whatever the bytes.
TEST_F(OkxBook, UnreadablePushesNeverTouchTheBook) {
    feed(push(-1, 10, R"(["100","1","0","1"])", R"(["101","1","0","1"])", "snapshot"));
    ASSERT_TRUE(sync.synced());
    const std::string before = book_text(sync.book());
    const std::string good_bid = R"(["100","2","0","1"])";
    const std::vector<std::string> bad_levels = {
        R"(["100","-1","0","1"])",   R"(["-100","1","0","1"])",
        R"(["100","1e3","0","1"])",  R"(["1e400","1","0","1"])",
        R"(["100","99999999999999999999999","0","1"])",
        R"(["100","0.0000000000000000000001","0","1"])",
        R"(["0","1","0","1"])",      R"(["abc","1","0","1"])",
        R"(["100",1,"0","1"])",      R"([100,"1","0","1"])",
        R"(["100"])",                R"("100")",
        R"(["","1","0","1"])",       R"(["100"," 1","0","1"])",
        R"(null)",                   R"({"px":"100"})",
    };
    for (const std::string& bad : bad_levels) {
        const BookActions done = feed(push(10, 11, good_bid + "," + bad, ""));
        EXPECT_EQ(done.resync, ResyncReason::gap) << bad;
        EXPECT_EQ(book_text(sync.book()), before) << bad;
        feed(push(-1, 10, R"(["100","1","0","1"])", R"(["101","1","0","1"])", "snapshot"));
    }
    std::string text_seq = push(10, 11, "", "");
    text_seq.replace(text_seq.find("11}"), 2, "\"x\"");
    const std::vector<std::string> bad_pushes = {
        "{", "[]", "null", std::string(300, '['), push(10, 11, "", "").substr(0, 60),
        R"({"arg":{"channel":"books"},"data":[]})",
        R"({"arg":{"channel":"books"},"data":[{"asks":[],"bids":[]}]})",  // no seqId
        text_seq, push(10, -5, "", ""), push(-2, 11, "", ""),
    };
    for (const std::string& bad : bad_pushes)
        EXPECT_FALSE(read_book_push(bad)) << bad;

    // Random bytes changed in good pushes: a push is read whole or not at all, never a crash.
    std::mt19937 rng(38);
    const std::string good = push(10, 11, R"(["100.5","2","0","1"],["99","0","0","0"])",
                                  R"(["101","3.25","0","1"])");
    const std::string alphabet = "0123456789.-e,[]{}\":x ";
    int unreadable = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string text = good;
        for (int k = 0; k < 1 + static_cast<int>(rng() % 3); ++k)
            text[rng() % text.size()] = alphabet[rng() % alphabet.size()];
        const std::optional<book::BookPush> read = read_book_push(text);
        if (!read) {
            ++unreadable;
            continue;
        }
        for (const auto& levels : {read->bids, read->asks}) {
            for (const book::Level& level : levels)
                EXPECT_FALSE(level.price.is_zero()) << text;
        }
    }
    EXPECT_GT(unreadable, 1000);
}

}  // namespace
}  // namespace corvane::okx
