// What a switch-over relies on beside the network: the stream's state table, the reconciliation
// of two connections' pushes, and the exchanges' push identities and sequences.

#include <gtest/gtest.h>

#include <atomic>

#include "core/stream/switchover/feed_state.hpp"
#include "core/stream/switchover/reconciler.hpp"
#include "core/stream/switchover/sequence_check.hpp"
#include "mexc/mexc_push_traits.hpp"
#include "okx/okx_push_traits.hpp"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<InboundMessage> batch(std::initializer_list<std::string> payloads,
                                  bool binary = false) {
    std::vector<InboundMessage> out;
    for (const auto& payload : payloads) {
        auto& message = out.emplace_back();
        message.payload = payload;
        message.binary = binary;
    }
    return out;
}

std::vector<std::string> payloads(const std::vector<InboundMessage>& messages) {
    std::vector<std::string> out;
    for (const auto& message : messages)
        out.push_back(message.kind == InboundMessage::Kind::gap ? "gap " + message.payload
                                                                 : message.payload);
    return out;
}

TEST(FeedState, ASwitchOverRunsLiveOpeningDrainingLive) {
    using S = FeedState;
    using E = FeedEvent;
    S s = S::live;
    for (const auto& [event, next] : {std::pair{E::switch_due, S::opening},
                                      {E::retry, S::opening},
                                      {E::current_ended, S::opening},  // the replacement goes on
                                      {E::ready, S::draining},
                                      {E::drained, S::live},
                                      {E::switch_due, S::opening},
                                      {E::gave_up, S::live},
                                      {E::current_ended, S::ended}}) {
        const auto to = feed_transition(s, event);
        ASSERT_TRUE(to.has_value());
        EXPECT_EQ(*to, next);
        s = *to;
    }
    // A switch-over asked for while one is under way changes nothing (it is remembered).
    EXPECT_FALSE(feed_transition(S::opening, E::switch_due));
    EXPECT_FALSE(feed_transition(S::draining, E::switch_due));
    EXPECT_FALSE(feed_transition(S::live, E::ready));  // a replacement no longer wanted
    for (S from : {S::live, S::opening, S::draining}) {
        EXPECT_EQ(feed_transition(from, E::close), S::closing);
    }
    for (E event : {E::switch_due, E::ready, E::drained, E::current_ended, E::close}) {
        EXPECT_FALSE(feed_transition(S::closing, event));
        EXPECT_FALSE(feed_transition(S::ended, event));
    }
}

std::string okx_book(const char* channel, long prev, long seq) {
    return std::string(R"({"arg":{"channel":")") + channel + R"(","instId":"A"},)"
        R"("data":[{"ts":"1","checksum":0,"prevSeqId":)" +
           std::to_string(prev) + R"(,"seqId":)" + std::to_string(seq) + "}]}";
}

std::string okx_trade(int id) {
    return R"({"arg":{"channel":"trades","instId":"A"},"data":[{"tradeId":")" +
           std::to_string(id) + R"(","ts":"5"}]})";
}

// The replacement's first pushes are the old one's last: what follows them is new, a payload
// the exchange sent before included.
TEST(Reconciler, ARepeatBeyondTheOverlapIsKept) {
    Reconciler reconciler(okx::push_traits());
    const auto t = Clock::now();
    const std::string x = okx_trade(1), a = okx_trade(2), b = okx_trade(3), d = okx_trade(4);
    reconciler.begin(1);
    reconciler.acknowledged();
    reconciler.record(1, batch({x, a, b}), t);
    reconciler.old_finished(t);
    auto replacement = batch({a, b, x, d});  // x again: the exchange repeated it
    reconciler.filter(2, replacement, t);
    EXPECT_EQ(payloads(replacement), (std::vector<std::string>{x, d}));
    // No overlap at all: the replacement's first push repeats one the old one had, and the
    // next shows it.
    Reconciler empty(okx::push_traits());
    empty.begin(1);
    empty.record(1, batch({a, x, b}), t);
    empty.old_finished(t);
    auto after = batch({x, d, b});
    empty.filter(2, after, t);
    EXPECT_EQ(payloads(after), (std::vector<std::string>{x, d, b}));
    // The same, one push a batch: the first waits for the next to tell.
    Reconciler apart(okx::push_traits());
    apart.begin(1);
    apart.record(1, batch({a, x, b}), t);
    apart.old_finished(t);
    auto one = batch({x});
    apart.filter(2, one, t);
    EXPECT_TRUE(one.empty());
    auto two = batch({d});
    apart.filter(2, two, t);
    EXPECT_EQ(payloads(two), (std::vector<std::string>{x, d}));
}

// The longest overlap is taken: a repeat only one connection carried stays.
TEST(Reconciler, ARepeatOnlyOneConnectionCarriedIsKept) {
    const auto t = Clock::now();
    const std::string x = okx_trade(1), a = okx_trade(2), b = okx_trade(3);
    {
        Reconciler reconciler(okx::push_traits());
        reconciler.begin(1);
        reconciler.record(1, batch({a, x, x, b, x}), t);
        reconciler.old_finished(t);
        auto replacement = batch({x, b, x, x, a});  // started at the old one's second x
        reconciler.filter(2, replacement, t);
        EXPECT_EQ(payloads(replacement), (std::vector<std::string>{x, a}));
    }
    {
        Reconciler reconciler(okx::push_traits());
        reconciler.begin(1);
        reconciler.record(1, batch({a, x, b, x}), t);
        reconciler.old_finished(t);
        auto first = batch({b});  // arriving in pieces changes nothing
        auto rest = batch({x, x, b, a});
        reconciler.filter(2, first, t);
        reconciler.filter(2, rest, t);
        EXPECT_TRUE(first.empty());
        EXPECT_EQ(payloads(rest), (std::vector<std::string>{x, b, a}));
    }
}

// A book channel that answers a subscription with a snapshot: the replacement's stream takes over
// where the snapshot stands; what the old one delivered up to there, and past it, comes once.
TEST(Reconciler, ASnapshotOnTheReplacementDoublesNothing) {
    std::atomic<std::uint64_t> gaps{0};
    SequenceCheck check(okx::push_traits(), gaps);
    Reconciler reconciler(okx::push_traits());
    const auto t = Clock::now();
    auto first = batch({okx_book("books", -1, 1), okx_book("books", 1, 2)});
    check.check(first);
    reconciler.begin(1);
    auto old_last = batch({okx_book("books", 2, 3), okx_book("books", 3, 4),
                           okx_book("books", 4, 5)});
    reconciler.record(1, old_last, t);
    check.check(old_last);
    reconciler.acknowledged();
    reconciler.old_finished(t);
    auto replacement = batch({okx_book("books", -1, 3), okx_book("books", 3, 4),
                              okx_book("books", 4, 5), okx_book("books", 5, 6)});
    reconciler.filter(2, replacement, t);
    check.check(replacement);
    EXPECT_EQ(payloads(replacement), (std::vector<std::string>{okx_book("books", 5, 6)}));
    EXPECT_EQ(gaps.load(), 0u);
    // A snapshot past all the old one delivered is where the book starts again.
    Reconciler later(okx::push_traits());
    later.begin(2);
    later.record(2, batch({okx_book("books", 5, 6)}), t);
    later.old_finished(t);
    auto ahead = batch({okx_book("books", -1, 8), okx_book("books", 8, 9)});
    later.filter(3, ahead, t);
    EXPECT_EQ(ahead.size(), 2u);
}

TEST(Reconciler, TheReplacementsTwinsGoAndItsOwnMessagesStay) {
    Reconciler reconciler(okx::push_traits(), std::chrono::seconds(5));
    const auto t = Clock::now();
    const std::string trade0 = okx_trade(0), trade1 = okx_trade(1), trade2 = okx_trade(2);
    const std::string ack = R"({"event":"subscribe","arg":{"channel":"trades","instId":"A"}})";
    // Pushes without an id of their own: twins only once the replacement is acknowledged.
    const std::string early = R"({"arg":{"channel":"tickers","instId":"B"},"data":[{}]})";
    const std::string ticker = R"({"arg":{"channel":"tickers","instId":"A"},"data":[{}]})";
    reconciler.begin(1);
    auto old_link = batch({trade0, early, trade1, ack});
    reconciler.record(1, old_link, t);
    reconciler.filter(1, old_link, t);  // a connection's own pushes are never its twins
    EXPECT_EQ(old_link.size(), 4u);
    reconciler.acknowledged();
    reconciler.record(1, batch({ticker}), t);
    reconciler.old_finished(t);
    auto replacement = batch({ack, trade1, trade2, trade1, early});
    reconciler.filter(2, replacement, t + std::chrono::seconds(1));
    EXPECT_EQ(payloads(replacement), (std::vector<std::string>{ack, trade2, trade1, early}));
    EXPECT_TRUE(reconciler.active());  // tickers of A have not come on the replacement yet
    auto late = batch({ticker});
    reconciler.reading_resumed(t + std::chrono::seconds(3));  // held back by limit_queue till then
    reconciler.filter(2, late, t + std::chrono::seconds(7));
    EXPECT_TRUE(late.empty());
    EXPECT_FALSE(reconciler.active());
}

TEST(Reconciler, TheWindowAndTheCapacityBoundTheWait) {
    Reconciler reconciler(okx::push_traits(), std::chrono::seconds(5), 2);
    const auto t = Clock::now();
    reconciler.begin(1);
    // At most 2 pushes a channel are kept: the first 1 is let go, and the replacement aligns
    // with the last one.
    reconciler.record(1, batch({okx_trade(1), okx_trade(2), okx_trade(1)}), t);
    reconciler.old_finished(t);
    auto second = batch({okx_trade(1), okx_trade(2), okx_trade(1), okx_trade(5)});
    reconciler.filter(2, second, t);
    EXPECT_EQ(payloads(second), (std::vector<std::string>{okx_trade(2), okx_trade(1), okx_trade(5)}));
    reconciler.begin(2);
    reconciler.record(2, batch({okx_trade(4)}), t);
    reconciler.old_finished(t);
    auto after = batch({okx_trade(4)});
    reconciler.filter(3, after, t + std::chrono::seconds(6));  // the window is over
    EXPECT_EQ(after.size(), 1u);
    EXPECT_FALSE(reconciler.active());
}

// The old connection carried a, x, b, x; the replacement x, b and then nothing: b is a twin if
// the replacement started at the first x (its next push would be x), a repeat if at the second.
// No later message tells: the hold ends at the deadline, a grace after the old one's last push,
// when the replacement's silence rules the first reading out.
TEST(Reconciler, AQuietChannelsHeldPushIsReleasedAtTheDeadline) {
    using std::chrono::milliseconds;
    Reconciler reconciler(okx::push_traits(), milliseconds(250));
    const auto t = Clock::now();
    const std::string a = okx_trade(1), x = okx_trade(2), b = okx_trade(3);
    reconciler.begin(1);
    EXPECT_EQ(reconciler.deadline(), Clock::time_point::max());  // nothing held
    reconciler.record(1, batch({a, x, b, x}), t);
    reconciler.old_finished(t + milliseconds(10));
    auto replacement = batch({x, b});
    reconciler.filter(2, replacement, t + milliseconds(20));
    EXPECT_TRUE(replacement.empty());  // x is a twin either way; b waits
    EXPECT_EQ(reconciler.deadline(), t + milliseconds(250));
    std::vector<InboundMessage> out;
    reconciler.release_due(t + milliseconds(249), out);
    EXPECT_TRUE(out.empty());
    reconciler.release_due(t + milliseconds(250), out);
    EXPECT_EQ(payloads(out), (std::vector<std::string>{b}));
    EXPECT_FALSE(reconciler.active());
    EXPECT_EQ(reconciler.deadline(), Clock::time_point::max());
}

// What comes after a held push, an event included (the old connection's close), waits behind it.
TEST(Reconciler, EventsKeepTheirPlaceBehindAHeldPush) {
    using std::chrono::milliseconds;
    Reconciler reconciler(okx::push_traits(), milliseconds(250));
    const auto t = Clock::now();
    const std::string a = okx_trade(1), x = okx_trade(2), b = okx_trade(3), c = okx_trade(4);
    reconciler.begin(1);
    reconciler.record(1, batch({a, x, b, x}), t);
    reconciler.old_finished(t);
    auto replacement = batch({x, b});
    reconciler.filter(2, replacement, t);
    std::vector<InboundMessage> closed(1);
    closed[0].kind = InboundMessage::Kind::close;
    closed[0].payload = "close";
    reconciler.filter(1, closed, t);
    EXPECT_TRUE(closed.empty());
    auto next = batch({x, c});  // the replacement started at the first x: b was a twin
    reconciler.filter(2, next, t + milliseconds(5));
    EXPECT_EQ(payloads(next), (std::vector<std::string>{"close", c}));
    EXPECT_FALSE(reconciler.active());
}

// Until the old connection has finished there is no deadline; a pause of the reading (limit_queue)
// gives the replacement the grace again from when reading resumed.
TEST(Reconciler, TheDeadlineWaitsForTheOldConnectionAndForReading) {
    using std::chrono::milliseconds;
    const auto t = Clock::now();
    const std::string a = okx_trade(1), x = okx_trade(2), b = okx_trade(3);
    {
        Reconciler reconciler(okx::push_traits(), milliseconds(250));
        reconciler.begin(1);
        reconciler.record(1, batch({a, x, b, x}), t);
        auto replacement = batch({x, b});
        reconciler.filter(2, replacement, t + milliseconds(5));
        EXPECT_EQ(reconciler.deadline(), Clock::time_point::max());  // still recording
        reconciler.old_finished(t + milliseconds(400));
        EXPECT_EQ(reconciler.deadline(), t + milliseconds(400));
    }
    Reconciler reconciler(okx::push_traits(), milliseconds(250));
    reconciler.begin(1);
    reconciler.record(1, batch({a, x, b, x}), t);
    reconciler.old_finished(t + milliseconds(10));
    auto replacement = batch({x, b});
    reconciler.filter(2, replacement, t + milliseconds(20));
    reconciler.reading_resumed(t + milliseconds(100));
    EXPECT_EQ(reconciler.deadline(), t + milliseconds(350));
    std::vector<InboundMessage> out;
    reconciler.release_due(t + milliseconds(300), out);
    EXPECT_TRUE(out.empty());
    reconciler.release_due(t + milliseconds(350), out);
    EXPECT_EQ(payloads(out), (std::vector<std::string>{b}));
}

// PushDataV3ApiWrapper bytes: 1 channel, 3 symbol, 6 sendTime, 313 AggreDepths (4, 5 versions).
std::string mexc_depth(const std::string& from, const std::string& to, int send_time,
                       bool limit = false) {
    const std::string channel = limit ? "spot@public.limit.depth.v3.api.pb@BTCUSDT@5"
                                      : "spot@public.aggre.depth.v3.api.pb@10ms@BTCUSDT";
    std::string body = "\x22" + std::string(1, char(from.size())) + from;
    if (!limit) body += "\x2a" + std::string(1, char(to.size())) + to;
    std::string out = "\x0a" + std::string(1, char(channel.size())) + channel;
    out += "\x1a\x07" "BTCUSDT";
    out += "\x30" + std::string(1, char(send_time));
    out += limit ? "\xfa\x12" : "\xca\x13";  // field 303 / 313, length-delimited
    return out + std::string(1, char(body.size())) + body;
}

TEST(PushTraits, IdentitiesLeaveOutWhatEachConnectionStamps) {
    const auto& mexc = mexc::push_traits();
    InboundMessage a, b, c;
    a.binary = b.binary = c.binary = true;
    a.payload = mexc_depth("7", "7", 1);
    b.payload = mexc_depth("7", "7", 2);  // another gateway's sendTime
    c.payload = mexc_depth("8", "8", 1);
    EXPECT_NE(mexc.identity(a).push, 0u);
    EXPECT_EQ(mexc.identity(a).push, mexc.identity(b).push);
    EXPECT_NE(mexc.identity(a).push, mexc.identity(c).push);
    EXPECT_EQ(mexc.identity(a).channel, mexc.identity(c).channel);

    const auto& okx = okx::push_traits();
    InboundMessage t1, t2, ack;
    t1.payload = R"({"arg":{"channel":"books","instId":"A"},)"
        R"("data":[{"ts":"1","prevSeqId":4,"seqId":5}]})";
    t2.payload = R"({"arg":{"channel":"books","instId":"B"},)"
        R"("data":[{"ts":"1","prevSeqId":4,"seqId":5}]})";
    ack.payload = R"({"event":"subscribe","arg":{"channel":"books","instId":"A"},"connId":"1"})";
    EXPECT_NE(okx.identity(t1).push, okx.identity(t2).push);  // same ids, another instrument
    EXPECT_NE(okx.identity(t1).channel, okx.identity(t2).channel);
    EXPECT_EQ(okx.identity(ack).push, 0u);
    InboundMessage order1, order2;  // two updates of one order: no tradeId until a fill
    order1.payload = R"({"arg":{"channel":"orders","instType":"ANY"},)"
        R"("data":[{"ordId":"7","tradeId":"","uTime":"1"}]})";
    order2.payload = R"({"arg":{"channel":"orders","instType":"ANY"},)"
        R"("data":[{"ordId":"7","tradeId":"","uTime":"2"}]})";
    EXPECT_NE(okx.identity(order1).push, okx.identity(order2).push);
    SequencePoint point;
    ASSERT_TRUE(okx.sequence(t1, point));
    EXPECT_EQ((std::tuple{point.channel, point.instrument, point.first, point.last}),
              (std::tuple{std::string_view("books"), std::string_view("A"), 4, 5}));
}


TEST(SequenceCheck, OkxNormalCasesPassAndABreakGivesOneEvent) {
    std::atomic<std::uint64_t> gaps{0};
    SequenceCheck check(okx::push_traits(), gaps);
    auto pushes = batch({okx_book("books", -1, 10),  // a snapshot starts the count
                         okx_book("books", 10, 12),  // an update
                         okx_book("books", 12, 12),  // an unchanged book
                         okx_book("books", 12, 3),   // a reset after maintenance
                         okx_book("books", 3, 4),
                         okx_book("books5", 1, 9),   // no sequence of its own
                         okx_book("books", 5, 6)});  // 4 came, 5 did not
    check.check(pushes);
    EXPECT_EQ(gaps.load(), 1u);
    ASSERT_EQ(pushes.size(), 8u);
    EXPECT_EQ(payloads(pushes)[6], "gap books\nA\n4\n5");
    check.restart("books", "A");  // unsubscribed and subscribed again: the count starts anew
    auto again = batch({okx_book("books", 90, 91)});
    check.check(again);
    EXPECT_EQ(gaps.load(), 1u);
}

TEST(SequenceCheck, MexcVersionsFollowOnAcrossPushes) {
    std::atomic<std::uint64_t> gaps{0};
    SequenceCheck check(mexc::push_traits(), gaps);
    auto pushes = batch({mexc_depth("1", "3", 1), mexc_depth("4", "4", 2), mexc_depth("6", "7", 3),
                         mexc_depth("20", "", 1, true), mexc_depth("25", "", 1, true),
                         mexc_depth("25", "", 1, true)},
                        true);
    check.check(pushes);
    EXPECT_EQ(gaps.load(), 2u);
    EXPECT_EQ(payloads(pushes)[2],
              "gap spot@public.aggre.depth.v3.api.pb@10ms@BTCUSDT\nBTCUSDT\n5\n6");
    EXPECT_EQ(payloads(pushes)[pushes.size() - 2],
              "gap spot@public.limit.depth.v3.api.pb@BTCUSDT@5\nBTCUSDT\n26\n25");
}

}  // namespace
}  // namespace corvane
