// BookKeeper on a loop whose time the test moves, with OKX's readers: what passes through a
// batch untouched, what is kept from the readers, where the book's events go, and what a
// snapshot's answer can still do after the book was let go or the stream ended.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/book/kept_book.hpp"
#include "core/stream/book_keeper.hpp"
#include "okx/okx_book.hpp"
#include "stream/manual_run_loop.hpp"

namespace corvane {
namespace {

using std::chrono::milliseconds;
using Kind = InboundMessage::Kind;
constexpr milliseconds kMinInterval{50};  // OKX's 40 requests in 2 s

InboundMessage text(std::string payload, Kind kind = Kind::message) {
    InboundMessage message;
    message.payload = std::move(payload);
    message.kind = kind;
    message.connection = 1;
    return message;
}

// A books push of `inst`: one bid at 10 of `size`, prevSeqId `prev`, seqId `seq`.
InboundMessage push(const std::string& inst, int prev, int seq, const std::string& size = "1") {
    return text(R"({"arg":{"channel":"books","instId":")" + inst +
                R"("},"action":"update","data":[{"asks":[],"bids":[["10",")" + size +
                R"(","0","1"]],"ts":"1","checksum":0,"prevSeqId":)" + std::to_string(prev) +
                R"(,"seqId":)" + std::to_string(seq) + "}]}");
}

https::Reply snapshot(int seq) {
    https::Reply reply;
    reply.outcome = https::Reply::Outcome::answered;
    reply.status = 200;
    reply.body = R"({"code":"0","msg":"","data":[{"asks":[["11","1","0","1"]],"bids":[["9","1","0","1"]],"ts":"1","seqId":)" +
                 std::to_string(seq) + "}]}";
    return reply;
}

std::vector<std::string> kinds(const std::vector<InboundMessage>& batch) {
    std::vector<std::string> out;
    for (const InboundMessage& message : batch) {
        switch (message.kind) {
            case Kind::message:
                out.push_back(message.payload.rfind("other", 0) == 0 ? "other" : "push");
                break;
            case Kind::book_resync:
                out.push_back("resync:" + message.payload.substr(message.payload.rfind('\n') + 1));
                break;
            case Kind::book_synced:
                out.push_back("synced");
                break;
            default:
                out.push_back("event");
        }
    }
    return out;
}

class BookKeeperTest : public ::testing::Test {
protected:
    std::shared_ptr<book::KeptBook> track(const std::string& inst, bool deliver) {
        return registry.track(book::BookKey{"books", inst}, [&] {
            return std::make_shared<book::KeptBook>(book::BookKey{"books", inst},
                                                    okx::book_sequence_rule(),
                                                    book::BookSyncLimits{}, deliver);
        });
    }
    std::vector<std::string> take(std::vector<InboundMessage> batch) {
        keeper.take(batch);
        return kinds(batch);
    }

    testing::ManualRunLoop loop;
    book::BookRegistry registry;
    std::vector<InboundMessage> delivered;  // what comes outside a batch
    BookKeeper keeper{BookSource{&registry, okx::book_key, okx::read_book_push,
                                 https::Endpoint{"example.test"}, okx::book_snapshot_request,
                                 okx::read_book_snapshot, kMinInterval},
                      loop, [this](std::vector<InboundMessage>& out) {
                          for (InboundMessage& message : out) delivered.push_back(std::move(message));
                      }};
};

TEST_F(BookKeeperTest, OnlyTrackedBooksPushesAreTakenAndTheirEventsTakeTheirPlace) {
    auto kept = track("BTC-USDT", false);
    auto shown = track("ETH-USDT", true);
    std::vector<InboundMessage> batch;
    batch.push_back(text("other message"));
    batch.push_back(push("BTC-USDT", 5, 6));
    batch.push_back(push("LTC-USDT", 1, 2));  // not tracked: untouched
    batch.push_back(push("ETH-USDT", 5, 6));
    batch.push_back(text("gap", Kind::gap));
    EXPECT_EQ(take(std::move(batch)),
              (std::vector<std::string>{"resync:start", "resync:start", "other", "push", "push",
                                        "event"}));
    // The untracked one is the LTC push, in its place; the ETH one is delivered. Each snapshot
    // is asked when its pacing timer fires.
    EXPECT_TRUE(loop.calls.empty());
    loop.advance(milliseconds(0));
    loop.advance(kMinInterval);  // the second book's request waits for the exchange's limit
    ASSERT_EQ(loop.calls.size(), 2u);
    EXPECT_EQ(loop.calls[0].request.target, "/api/v5/market/books?instId=BTC-USDT&sz=400");

    loop.take_call().done(snapshot(5));
    ASSERT_EQ(kinds(delivered), (std::vector<std::string>{"synced"}));
    EXPECT_TRUE(kept->status().synced);
    EXPECT_EQ(take({push("BTC-USDT", 6, 7, "3")}), std::vector<std::string>{});  // removed
    ASSERT_EQ(kept->top(book::Side::bid, 0).size(), 2u);
    EXPECT_EQ(kept->top(book::Side::bid, 0)[0].size.text(), "3");

    // A break: the resync follows the push that showed it, in the batch.
    EXPECT_EQ(take({push("BTC-USDT", 9, 10)}), std::vector<std::string>{"resync:gap"});
    EXPECT_FALSE(kept->status().synced);
    EXPECT_TRUE(kept->top(book::Side::bid, 0).empty());
    EXPECT_EQ(take({push("ETH-USDT", 6, 7)}), std::vector<std::string>{"push"});
    (void)shown;
}

TEST_F(BookKeeperTest, AnAnswerAfterUntrackIsHarmlessAndItsPushesPassAgain) {
    auto kept = track("BTC-USDT", false);
    EXPECT_EQ(take({push("BTC-USDT", 5, 6)}), std::vector<std::string>{"resync:start"});
    loop.advance(milliseconds(0));
    ASSERT_EQ(loop.calls.size(), 1u);
    ASSERT_TRUE(registry.untrack("books", "BTC-USDT"));
    EXPECT_EQ(take({push("BTC-USDT", 6, 7)}), std::vector<std::string>{"push"});
    // The call was dropped with its book; were it answered anyway, nothing comes of it.
    EXPECT_FALSE(*loop.take_call().live);
    EXPECT_TRUE(delivered.empty());
    EXPECT_FALSE(kept->status().synced);
}

TEST_F(BookKeeperTest, TheStreamsEndUnsyncsEveryStartedBook) {
    auto kept = track("BTC-USDT", false);
    take({push("BTC-USDT", 5, 6)});
    loop.advance(milliseconds(0));
    loop.take_call().done(snapshot(5));
    ASSERT_TRUE(kept->status().synced);
    auto later = track("ETH-USDT", false);
    keeper.refresh();
    delivered.clear();
    std::vector<InboundMessage> out;
    keeper.end(out);
    EXPECT_EQ(kinds(out), (std::vector<std::string>{"resync:reconnect", "resync:reconnect"}));
    EXPECT_FALSE(kept->status().synced);
    EXPECT_EQ(kept->status().resyncs[static_cast<std::size_t>(book::ResyncReason::reconnect)], 1u);
    EXPECT_EQ(loop.live_timers(), 0u);
    // A keeper of the next stream takes the books up again without a second "start".
    BookKeeper next{BookSource{&registry, okx::book_key, okx::read_book_push,
                               https::Endpoint{"example.test"}, okx::book_snapshot_request,
                               okx::read_book_snapshot, kMinInterval},
                    loop, [](std::vector<InboundMessage>&) {}};
    std::vector<InboundMessage> batch;
    batch.push_back(push("BTC-USDT", 8, 9));
    next.take(batch);
    EXPECT_EQ(kinds(batch), std::vector<std::string>{});
    EXPECT_EQ(kept->status().resyncs[static_cast<std::size_t>(book::ResyncReason::start)], 1u);
    (void)later;
}

TEST_F(BookKeeperTest, AnUntrackedBookIsOutOfSyncAndStaysSo) {
    auto kept = track("BTC-USDT", false);
    take({push("BTC-USDT", 5, 6)});
    loop.advance(milliseconds(0));
    loop.take_call().done(snapshot(5));
    ASSERT_TRUE(kept->status().synced);
    ASSERT_TRUE(registry.untrack("books", "BTC-USDT"));
    // A Book the program still holds shows nothing it could trade on, and never syncs again.
    EXPECT_FALSE(kept->status().synced);
    EXPECT_TRUE(kept->top(book::Side::bid, 0).empty());
    EXPECT_FALSE(kept->wait_synced(milliseconds(0)));
}

TEST_F(BookKeeperTest, ARetiredBookEndsItsWaiters) {
    auto kept = track("BTC-USDT", false);
    registry.retire_all();  // the connector is going
    EXPECT_FALSE(kept->wait_synced(milliseconds(60000)));  // at once, not after the minute
}

TEST_F(BookKeeperTest, SnapshotsOfSeveralBooksAreSpacedByTheExchangesLimit) {
    track("BTC-USDT", false);
    track("ETH-USDT", false);
    track("LTC-USDT", false);
    take({push("BTC-USDT", 5, 6), push("ETH-USDT", 5, 6), push("LTC-USDT", 5, 6)});
    loop.advance(milliseconds(0));
    EXPECT_EQ(loop.calls.size(), 1u);  // one at a time, kMinInterval apart
    loop.advance(kMinInterval);
    EXPECT_EQ(loop.calls.size(), 2u);
    loop.advance(kMinInterval);
    EXPECT_EQ(loop.calls.size(), 3u);
}

}  // namespace
}  // namespace corvane
