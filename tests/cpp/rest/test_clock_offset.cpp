// The exchanges' time replies, and the offset a measurement makes of them.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>

#include "core/rest/clock/clock_offset.hpp"
#include "core/stream/clock_watch.hpp"

namespace corvane {
namespace {

using std::chrono::milliseconds;

TEST(ClockOffset, BothExchangesTimeRepliesAndNothingElse) {
    EXPECT_EQ(server_time_in(R"({"code":"0","msg":"","data":[{"ts":"1597026383085"}]})"),
              1597026383085);
    EXPECT_EQ(server_time_in(R"({"serverTime":1645539742000})"), 1645539742000);
    for (const char* body : {"<html>", "[]", R"({"data":[]})", R"({"data":[{"ts":1597026383085}]})",
                             R"({"data":[{"ts":"-1"}]})", R"({"data":[{"ts":"99999999999999999999"}]})",
                             R"({"serverTime":"1645539742000"})"}) {
        EXPECT_THROW(server_time_in(body), std::runtime_error) << body;
    }
}

TEST(ClockOffset, TheServerReadItsClockAtTheRoundTripsMidpoint) {
    ClockOffset clock;
    EXPECT_EQ(clock.offset(), std::nullopt);
    const ClockOffset::Clock::time_point sent{milliseconds(1'700'000'000'000)};
    clock.measured(1'700'000'000'000 + 50 - 5000, sent, sent + milliseconds(100));  // 5 s behind
    EXPECT_EQ(clock.offset(), -5000);
    const auto local_ms = [] {
        return ClockOffset::Clock::now().time_since_epoch() / milliseconds(1);
    };
    const std::int64_t before = local_ms();
    const std::int64_t corrected = clock.now_ms();
    const std::int64_t after = local_ms();
    EXPECT_LE(before - 5000, corrected);
    EXPECT_LE(corrected, after - 5000);
}

// A measurement asked for while its connection was still opening (DNS, TCP, TLS) must not
// count the opening: only the request's write and its answer time the reply.
TEST(ClockOffset, ATimeReplyIsTimedByItsWriteAndAnswerNotByWhenItWasAskedFor) {
    ClockOffset clock;
    https::Reply reply;
    reply.outcome = https::Reply::Outcome::answered;
    reply.status = 200;
    const ClockOffset::Clock::time_point written{milliseconds(1'700'000'000'000)};
    reply.written_at = written;
    reply.answered_at = written + milliseconds(20);
    reply.body = R"({"serverTime":)" + std::to_string(1'700'000'000'000 + 10 + 5000) + "}";
    EXPECT_EQ(record_time_reply(clock, reply), "");
    EXPECT_EQ(clock.offset(), 5000);

    reply.answered_at.reset();  // untimed: no measurement
    EXPECT_EQ(record_time_reply(clock, reply), "the time reply was not timed");
    reply.answered_at = written + milliseconds(20);
    reply.status = 503;
    EXPECT_EQ(record_time_reply(clock, reply), "HTTP 503 " + reply.body);
    reply.outcome = https::Reply::Outcome::unknown;
    reply.failure = "request to www.okx.com timed out after 3000 ms";
    EXPECT_EQ(record_time_reply(clock, reply), reply.failure);
    EXPECT_EQ(clock.offset(), 5000);
}

const ClockOffset::Clock::time_point kSent{milliseconds(1'700'000'000'000)};

// A measurement answered `rtt_ms` after kSent + `at_ms` whose server read its clock
// `offset_ms` ahead of this machine's at the round trip's midpoint.
bool sample(ClockOffset& clock, std::int64_t offset_ms, std::int64_t rtt_ms,
            std::int64_t at_ms = 0) {
    const auto sent = kSent + milliseconds(at_ms);
    const std::int64_t midpoint = (sent.time_since_epoch() / milliseconds(1)) + rtt_ms / 2;
    return clock.measured(midpoint + offset_ms, sent, sent + milliseconds(rtt_ms));
}

// A time endpoint that says 0, -1, the int64 extremes or a time centuries away would put every
// signed timestamp decades off (or overflow it): such an answer is refused and the last good
// offset kept.
TEST(ClockOffset, AnImplausibleServerTimeIsRefusedAndTheLastOffsetKept) {
    ClockOffset clock;
    ASSERT_TRUE(sample(clock, 1200, 40));
    for (const std::int64_t server_ms :
         {std::int64_t{0}, std::int64_t{-1}, std::int64_t{1}, std::int64_t{999'999'999'999'999'999},
          std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min()}) {
        EXPECT_FALSE(clock.measured(server_ms, kSent, kSent + milliseconds(10))) << server_ms;
        EXPECT_EQ(clock.offset(), 1200) << server_ms;
    }
    https::Reply reply;
    reply.outcome = https::Reply::Outcome::answered;
    reply.status = 200;
    reply.written_at = kSent;
    reply.answered_at = kSent + milliseconds(10);
    reply.body = R"({"code":"0","data":[{"ts":"999999999999999999"}]})";
    EXPECT_EQ(record_time_reply(clock, reply),
              "the time reply gives an implausible time: 999999999999999999");
    reply.body = R"({"serverTime":18446744073709551615})";
    EXPECT_NE(record_time_reply(clock, reply), "");
    EXPECT_EQ(clock.offset(), 1200);
    const auto corrected = clock.now() - ClockOffset::Clock::now();
    EXPECT_LT(std::chrono::abs(corrected - milliseconds(1200)), std::chrono::seconds(1));
}

// The shorter a round trip, the less it leaves to guess of when the server read its clock.
TEST(ClockOffset, TheSampleWithTheSmallestRoundTripIsPreferred) {
    ClockOffset clock;
    ASSERT_TRUE(sample(clock, 1000, 400));
    ASSERT_TRUE(sample(clock, 1100, 20, 60'000));  // shorter: taken
    EXPECT_EQ(clock.offset(), 1100);
    ASSERT_TRUE(sample(clock, 1150, 200, 120'000));  // longer and agreeing: the better one stays
    EXPECT_EQ(clock.offset(), 1100);
    ASSERT_TRUE(sample(clock, 1120, 20, 180'000));  // as short: the newer one
    EXPECT_EQ(clock.offset(), 1120);
}

// A sample that cannot be reconciled with the kept one (the clock was stepped, or the exchange
// moved) replaces it at once, as does one taken long after it.
TEST(ClockOffset, ASampleContradictingTheKeptOneOrLongAfterItReplacesIt) {
    ClockOffset clock;
    ASSERT_TRUE(sample(clock, 1000, 20));
    ASSERT_TRUE(sample(clock, 6000, 300, 60'000));
    EXPECT_EQ(clock.offset(), 6000);
    ASSERT_TRUE(sample(clock, 6010, 10, 120'000));
    ASSERT_TRUE(sample(clock, 6100, 200, 120'000 + 31 * 60'000));  // half an hour on
    EXPECT_EQ(clock.offset(), 6100);
    EXPECT_FALSE(clock.measured(kSent.time_since_epoch() / milliseconds(1), kSent,
                                kSent - milliseconds(5)));  // answered before it was sent
    EXPECT_EQ(clock.offset(), 6100);
}

// After the exchange refused a timestamp, the next measurement counts whatever its round trip,
// and a signed call measures again first.
TEST(ClockOffset, ARefusedTimestampMakesTheNextMeasurementCount) {
    ClockOffset clock;
    EXPECT_TRUE(clock.claim_first());
    ASSERT_TRUE(sample(clock, 1000, 10));
    EXPECT_FALSE(clock.claim_first());
    clock.distrust();
    EXPECT_TRUE(clock.claim_first());
    ASSERT_TRUE(sample(clock, 1040, 90, 1000));  // agrees, round trip longer: taken all the same
    EXPECT_EQ(clock.offset(), 1040);
    ASSERT_TRUE(sample(clock, 1080, 150, 2000));
    EXPECT_EQ(clock.offset(), 1040);
}

}  // namespace
}  // namespace corvane
