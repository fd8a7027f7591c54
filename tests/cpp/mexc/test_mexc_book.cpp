// MEXC books kept by BookSync from protobuf depth pushes and GET /api/v3/depth: the aggregated
// depth's versions and MEXC's recipe for the snapshot, limit depth's whole books, and frames
// that cannot be read never reaching the book.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "book/book_text.hpp"
#include "core/book/book_sync.hpp"
#include "mexc/mexc_book.hpp"

namespace corvane::mexc {
namespace {

using book::book_text;
using book::BookActions;
using book::BookState;
using book::BookSync;
using book::ResyncReason;
using book::Side;
using std::chrono::milliseconds;
using Levels = std::vector<std::pair<std::string, std::string>>;

// Protobuf, as MEXC encodes it: varints and length-delimited fields.
std::string varint(std::uint64_t value) {
    std::string out;
    do {
        const auto low = static_cast<char>(value & 0x7F);
        value >>= 7;
        out += static_cast<char>(low | (value != 0 ? 0x80 : 0));
    } while (value != 0);
    return out;
}
std::string bytes_field(std::uint32_t number, const std::string& value) {
    return varint(number << 3 | 2) + varint(value.size()) + value;
}
std::string int_field(std::uint32_t number, std::uint64_t value) {
    return varint(number << 3) + varint(value);
}

std::string levels(std::uint32_t number, const Levels& all) {
    std::string out;
    for (const auto& [price, size] : all)
        out += bytes_field(number, bytes_field(1, price) + bytes_field(2, size));
    return out;
}

std::string wrapper(std::uint32_t body_number, const std::string& body, const char* channel) {
    return bytes_field(1, channel) + bytes_field(3, "BTCUSDT") + int_field(6, 1736412000123) +
           bytes_field(body_number, body);
}

std::string aggre(long from, long to, const Levels& bids, const Levels& asks) {
    return wrapper(313,
                   levels(1, asks) + levels(2, bids) +
                       bytes_field(3, "spot@public.aggre.depth.v3.api.pb@100ms") +
                       bytes_field(4, std::to_string(from)) + bytes_field(5, std::to_string(to)),
                   "spot@public.aggre.depth.v3.api.pb@100ms@BTCUSDT");
}

std::string limit(long version, const Levels& bids, const Levels& asks) {
    return wrapper(303,
                   levels(1, asks) + levels(2, bids) +
                       bytes_field(3, "spot@public.limit.depth.v3.api.pb") +
                       bytes_field(4, std::to_string(version)),
                   "spot@public.limit.depth.v3.api.pb@BTCUSDT@5");
}

std::string rest(long last_update, const std::string& bids, const std::string& asks) {
    return R"({"lastUpdateId":)" + std::to_string(last_update) + R"(,"bids":[)" + bids +
           R"(],"asks":[)" + asks + R"(],"timestamp":1736412000000})";
}

class MexcBook : public ::testing::Test {
protected:
    BookActions feed(const std::string& frame) {
        const std::optional<book::BookPush> read = read_depth_push(frame);
        return read ? sync.on_push(*read, now) : sync.on_unreadable_push(now);
    }
    BookActions answer(const BookActions& asked, const std::string& text) {
        EXPECT_TRUE(asked.request);
        const std::optional<book::BookPush> read = read_depth_snapshot(text);
        EXPECT_TRUE(read) << text;
        return sync.on_snapshot(asked.request->id, *read, now);
    }
    BookSync sync{book_sequence_rule(), book::BookSyncLimits{}};
    milliseconds now{0};
};

TEST_F(MexcBook, RecipeAlignsTheRestSnapshotAndEveryVersionMustFollow) {
    const BookActions asked = feed(aggre(101, 105, {{"10", "1"}}, {}));
    feed(aggre(106, 110, {{"10", "2"}}, {}));
    feed(aggre(111, 115, {}, {{"12", "1"}}));
    // lastUpdateId below the first cached fromVersion: fetched again.
    const BookActions again = answer(asked, rest(100, "", ""));
    EXPECT_TRUE(again.request);
    EXPECT_FALSE(again.changed);
    // At 107: 101..105 dropped, 106..110 runs past it (106 <= 108), then 111..115.
    const BookActions done =
        answer(again, rest(107, R"(["10","1.5"],["9","1"])", R"(["11","1"],["12","0"])"));
    EXPECT_TRUE(done.synced);
    EXPECT_EQ(sync.book().seq, 115);
    EXPECT_EQ(sync.book().ts, 1736412000123);
    EXPECT_EQ(book_text(sync.book()), "10:2 9:1 | 11:1 12:1");

    EXPECT_FALSE(feed(aggre(116, 120, {{"9", "0"}}, {})).resync);
    EXPECT_EQ(book_text(sync.book()), "10:2 | 11:1 12:1");
    const BookActions lost = feed(aggre(122, 125, {}, {}));  // 121 never came
    EXPECT_EQ(lost.resync, ResyncReason::gap);
    EXPECT_TRUE(lost.request);
    EXPECT_EQ(sync.book().seq, 120);
}

TEST_F(MexcBook, SnapshotPastTheCacheNeedsTheNextVersionOrStartsOver) {
    const BookActions asked = feed(aggre(101, 105, {}, {}));
    EXPECT_TRUE(answer(asked, rest(105, R"(["10","1"])", R"(["11","1"])")).changed);
    EXPECT_EQ(sync.state(), BookState::synced);  // at exactly the last kept push
    const BookActions skipped = feed(aggre(107, 110, {}, {}));  // 106 missing
    EXPECT_EQ(skipped.resync, ResyncReason::gap);
    ASSERT_TRUE(skipped.request);
    // 107..110 runs past 108: applied on the snapshot.
    EXPECT_TRUE(answer(skipped, rest(108, R"(["10","1"])", R"(["11","1"])")).synced);
    EXPECT_FALSE(feed(aggre(111, 112, {{"10", "3"}}, {})).resync);
    EXPECT_EQ(book_text(sync.book()), "10:3 | 11:1");
}

TEST_F(MexcBook, LimitDepthIsAWholeBookEachPush) {
    const BookActions first = feed(limit(500, {{"10", "1"}, {"9", "2"}}, {{"11", "1"}}));
    EXPECT_TRUE(first.synced);
    EXPECT_FALSE(first.request);
    EXPECT_FALSE(feed(limit(499, {{"10", "4"}}, {{"11.5", "1"}})).resync);
    EXPECT_EQ(book_text(sync.book()), "10:4 | 11.5:1");
    EXPECT_EQ(sync.book().seq, 499);
    EXPECT_EQ(feed(limit(501, {{"12", "4"}}, {{"11.5", "1"}})).resync, ResyncReason::crossed);
}

TEST_F(MexcBook, ReadsFramesAndRestRepliesExactly) {
    const auto push = read_depth_push(aggre(7, 9, {{"93180.18", "0.21976424"}},
                                            {{"93181.00", "0.00000000"}}));
    ASSERT_TRUE(push);
    EXPECT_EQ(push->kind, book::BookPush::Kind::update);
    EXPECT_EQ(push->first, 7);
    EXPECT_EQ(push->last, 9);
    EXPECT_EQ(push->bids[0].price.text(), "93180.18");
    EXPECT_TRUE(push->asks[0].size.is_zero());
    EXPECT_EQ(push->asks[0].price.text(), "93181");

    const auto snapshot = read_depth_snapshot(rest(1377043, R"(["93180.18","0.21976424"])", ""));
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->last, 1377043);
    EXPECT_EQ(snapshot->ts, 1736412000000);

    const std::string deals = wrapper(314, bytes_field(2, "spot@public.aggre.deals"), "deals");
    for (const std::string& bad : {deals, aggre(9, 7, {}, {}), aggre(-1, 7, {}, {}),
                                   aggre(1, 2, {{"1e3", "1"}}, {}), aggre(1, 2, {{"1", "-1"}}, {}),
                                   aggre(1, 2, {{"", "1"}}, {}),
                                   wrapper(313, bytes_field(1, bytes_field(1, "5")), "x"),
                                   std::string("\x0a\xff", 2), std::string()}) {
        EXPECT_FALSE(read_depth_push(bad));
    }
    for (const char* bad : {R"({"code":429,"msg":"Too many requests"})",
                            R"({"lastUpdateId":-1,"bids":[],"asks":[]})",
                            R"({"lastUpdateId":"x","bids":[],"asks":[]})",
                            R"({"lastUpdateId":1,"bids":[["1","99999999999999999999"]],"asks":[]})",
                            R"({"lastUpdateId":1,"bids":[]})", "[]", "nope"}) {
        EXPECT_FALSE(read_depth_snapshot(bad)) << bad;
    }
}

TEST_F(MexcBook, UnreadableFramesNeverTouchTheBook) {
    const BookActions asked = feed(aggre(2, 3, {}, {}));
    answer(asked, rest(2, R"(["10","1"])", R"(["11","1"])"));
    ASSERT_TRUE(sync.synced());
    const std::string before = book_text(sync.book());
    const std::string good = aggre(4, 5, {{"10.5", "2"}, {"9", "0"}}, {{"11", "3.25"}});
    std::mt19937 rng(313);
    int unreadable = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string frame = good;
        for (int k = 0; k < 1 + static_cast<int>(rng() % 3); ++k)
            frame[rng() % frame.size()] = static_cast<char>(rng() % 256);
        if (read_depth_push(frame)) continue;
        ++unreadable;
        BookSync copy = sync;
        const BookActions done = copy.on_unreadable_push(now);
        EXPECT_EQ(done.resync, ResyncReason::gap);
        EXPECT_EQ(book_text(copy.book()), before);
    }
    EXPECT_GT(unreadable, 500);
}

TEST(MexcBookKey, ADepthFrameIsKnownByItsStreamEvenWhenItsBodyCannotBeRead) {
    InboundMessage message;
    message.binary = true;
    // No toVersion: unreadable, but still this book's (a gap, not a message for the program).
    message.payload = wrapper(313, bytes_field(4, "7"),
                              "spot@public.aggre.depth.v3.api.pb@100ms@BTCUSDT");
    std::string_view stream, symbol;
    ASSERT_TRUE(book_key(message, stream, symbol));
    EXPECT_EQ(stream, "spot@public.aggre.depth.v3.api.pb@100ms@BTCUSDT");
    EXPECT_EQ(symbol, "BTCUSDT");
    EXPECT_FALSE(read_depth_push(message.payload));
    message.payload = wrapper(314, bytes_field(1, "x"), "spot@public.aggre.deals.v3.api.pb@100ms@BTCUSDT");
    EXPECT_FALSE(book_key(message, stream, symbol));
}

TEST(MexcBookKey, ABodyOfTheOtherDepthIsRefused) {
    // A limit depth body on the aggregated stream would replace the whole book.
    const std::string limit_body = bytes_field(2, bytes_field(1, "100.5") + bytes_field(2, "1")) +
                                   bytes_field(4, "9");
    EXPECT_FALSE(read_depth_push(
        wrapper(303, limit_body, "spot@public.aggre.depth.v3.api.pb@100ms@BTCUSDT")));
    EXPECT_TRUE(read_depth_push(
        wrapper(303, limit_body, "spot@public.limit.depth.v3.api.pb@BTCUSDT@5")));
}

}  // namespace
}  // namespace corvane::mexc
