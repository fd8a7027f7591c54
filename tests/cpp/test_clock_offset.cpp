// The exchanges' time replies, and the offset a measurement makes of them.

#include <gtest/gtest.h>

#include <stdexcept>

#include "core/clock/clock_offset.hpp"
#include "core/clock/clock_watch.hpp"

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
    const ClockOffset::Clock::time_point sent{milliseconds(1'000'000)};
    clock.measured(1'000'000 + 50 - 5000, sent, sent + milliseconds(100));  // 5 s behind
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
    const ClockOffset::Clock::time_point written{milliseconds(1'000'000)};
    reply.written_at = written;
    reply.answered_at = written + milliseconds(20);
    reply.body = R"({"serverTime":)" + std::to_string(1'000'000 + 10 + 5000) + "}";
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

}  // namespace
}  // namespace corvane
