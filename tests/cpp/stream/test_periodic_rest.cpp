// The periodic REST job the clock watch, the dead-man refresh and the listen-key renewal share,
// on a loop whose time the test moves.

#include <gtest/gtest.h>

#include "core/stream/periodic_rest.hpp"
#include "stream/manual_run_loop.hpp"

namespace corvane {
namespace {

using std::chrono::milliseconds;
using Then = PeriodicRest::Then;
using S = PeriodicState;
using E = PeriodicEvent;

https::Reply answered(unsigned status) {
    https::Reply reply;
    reply.outcome = https::Reply::Outcome::answered;
    reply.status = status;
    return reply;
}

// A job of 100 ms, retried after 10 ms, that sends while `due` says so and answers each reply
// with `then`.
class PeriodicJob : public ::testing::Test {
protected:
    PeriodicRest job{milliseconds(100), milliseconds(10),
                     {[this] { return due; },
                      [](RunLoop& on, https::Done done) {
                          return on.rest(https::Endpoint{"example.test"},
                                         https::Request{"GET", "/time", {}, {}},
                                         std::move(done));
                      },
                      [this](const https::Reply& reply) {
                          replies.push_back(reply.status);
                          if (stop_in_reply) job.stop();
                          return then;
                      }}};
    testing::ManualRunLoop loop;
    bool due = true;
    Then then = Then::wait;
    bool stop_in_reply = false;
    std::vector<unsigned> replies;
};

TEST_F(PeriodicJob, AsksOncePerPeriodCountedFromEachReply) {
    job.start(loop);
    loop.advance(milliseconds(99));
    EXPECT_TRUE(loop.calls.empty());
    loop.advance(milliseconds(1));
    ASSERT_EQ(loop.calls.size(), 1u);
    EXPECT_EQ(job.state(), S::asking);
    loop.advance(milliseconds(500));  // nothing more while one is under way
    ASSERT_EQ(loop.calls.size(), 1u);
    loop.take_call().done(answered(200));
    EXPECT_EQ(job.state(), S::waiting);
    loop.advance(milliseconds(99));
    EXPECT_TRUE(loop.calls.empty());
    loop.advance(milliseconds(1));
    EXPECT_EQ(loop.calls.size(), 1u);
    EXPECT_EQ(replies, std::vector<unsigned>{200});
}

TEST_F(PeriodicJob, ADueTimeWithNothingDueWaitsAnotherPeriod) {
    due = false;
    job.start(loop);
    loop.advance(milliseconds(100));
    EXPECT_TRUE(loop.calls.empty());
    EXPECT_EQ(job.state(), S::waiting);
    due = true;
    loop.advance(milliseconds(99));
    EXPECT_TRUE(loop.calls.empty());
    loop.advance(milliseconds(1));
    EXPECT_EQ(loop.calls.size(), 1u);
}

TEST_F(PeriodicJob, AFailureToldToRetryAsksAgainAfterTheRetryDelay) {
    job.start(loop);
    loop.advance(milliseconds(100));
    then = Then::retry;
    loop.take_call().done(answered(500));
    loop.advance(milliseconds(9));
    EXPECT_TRUE(loop.calls.empty());
    loop.advance(milliseconds(1));
    ASSERT_EQ(loop.calls.size(), 1u);
    then = Then::wait;  // and back to the period once one succeeds
    loop.take_call().done(answered(200));
    loop.advance(milliseconds(99));
    EXPECT_TRUE(loop.calls.empty());
    loop.advance(milliseconds(1));
    EXPECT_EQ(loop.calls.size(), 1u);
}

TEST_F(PeriodicJob, StoppedMidRequestTheCallIsCancelledAndNothingMoreComes) {
    job.start(loop);
    loop.advance(milliseconds(100));
    auto call = loop.take_call();
    job.stop();
    EXPECT_EQ(job.state(), S::stopped);
    EXPECT_FALSE(*call.live);  // its Pending is gone: the request is cancelled
    call.done(answered(200));  // a reply that raced the cancel is not reported
    EXPECT_TRUE(replies.empty());
    loop.advance(milliseconds(1000));
    EXPECT_TRUE(loop.calls.empty());
    EXPECT_EQ(loop.live_timers(), 0u);
}

TEST_F(PeriodicJob, StoppedFromItsReplyNothingMoreIsArmed) {
    stop_in_reply = true;
    then = Then::wait;
    job.start(loop);
    loop.advance(milliseconds(100));
    loop.take_call().done(answered(500));
    EXPECT_EQ(job.state(), S::stopped);
    EXPECT_EQ(loop.live_timers(), 0u);
    loop.advance(milliseconds(1000));
    EXPECT_TRUE(loop.calls.empty());
}

TEST_F(PeriodicJob, AReplySayingStopEndsIt) {
    then = Then::stop;
    job.start(loop);
    loop.advance(milliseconds(100));
    loop.take_call().done(answered(401));
    EXPECT_EQ(job.state(), S::stopped);
    loop.advance(milliseconds(1000));
    EXPECT_TRUE(loop.calls.empty());
}

TEST_F(PeriodicJob, StoppedBeforeItsFirstDueTimeNothingGoes) {
    job.start(loop);
    loop.advance(milliseconds(50));
    job.stop();
    loop.advance(milliseconds(1000));
    EXPECT_TRUE(loop.calls.empty());
    job.start(loop);  // a stopped job stays stopped
    loop.advance(milliseconds(1000));
    EXPECT_TRUE(loop.calls.empty());
}

// A call that cannot start reports its failure from a post, which cannot be cancelled: stopped
// meanwhile, the job does not see it.
TEST_F(PeriodicJob, AFailureReportedFromAPostAfterStopIsNotSeen) {
    PeriodicRest failing{milliseconds(100), milliseconds(10),
                         {nullptr,
                          [](RunLoop& on, https::Done done) -> std::unique_ptr<https::Pending> {
                              on.post([done] { done(https::Reply{}); });
                              return nullptr;
                          },
                          [this](const https::Reply&) {
                              replies.push_back(0);
                              return Then::wait;
                          }}};
    failing.start(loop);
    loop.advance(milliseconds(100));  // the call fails and its post reports it
    EXPECT_EQ(replies.size(), 1u);
    loop.now += milliseconds(100);
    loop.fire_timers();  // the next call fails; its report is posted
    failing.stop();
    loop.run_posted();
    EXPECT_EQ(replies.size(), 1u);
}

TEST(PeriodicTable, OnlyTheListedStepsMoveIt) {
    EXPECT_EQ(periodic_transition(S::idle, E::started), S::waiting);
    EXPECT_EQ(periodic_transition(S::waiting, E::sent), S::asking);
    EXPECT_EQ(periodic_transition(S::asking, E::answered), S::waiting);
    EXPECT_FALSE(periodic_transition(S::waiting, E::answered));  // a reply nobody waits for
    EXPECT_FALSE(periodic_transition(S::asking, E::sent));       // one call at a time
    EXPECT_FALSE(periodic_transition(S::waiting, E::started));
    for (const S from : {S::idle, S::waiting, S::asking})
        EXPECT_EQ(periodic_transition(from, E::stopped), S::stopped);
    for (const E event : {E::started, E::sent, E::answered, E::stopped})
        EXPECT_FALSE(periodic_transition(S::stopped, event));
}

}  // namespace
}  // namespace corvane
