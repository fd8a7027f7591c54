// OKX's dead-man switch as a connection refreshes it, against requests answered by the test.

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <deque>

#include "core/stream/asio_run_loop.hpp"
#include "okx/dead_man_switch.hpp"

namespace corvane {
namespace {

using std::chrono::milliseconds;

struct Sent {
    int seconds;
    https::Done done;
};

// One connection's refresh on a loop the test runs, each request kept until the test answers.
struct Connection {
    Connection(DeadManPeriod& period, InboundQueue& queue, boost::asio::io_context& loop,
               std::deque<Sent>& sent)
        : run_loop(loop, thread),
          refresh(period, queue,
                  [&sent](int seconds, https::Done done) {
                      sent.push_back({seconds, std::move(done)});
                      return std::make_unique<https::Pending>();
                  },
                  milliseconds(1)) {
        thread.claim();
        refresh.start(run_loop);
    }
    ~Connection() { refresh.stop(); }
    ThreadOwner thread;
    AsioRunLoop run_loop;
    DeadManRefresh refresh;
};

https::Reply accepted() {
    https::Reply reply;
    reply.outcome = https::Reply::Outcome::answered;
    reply.status = 200;
    reply.body = R"({"code":"0","data":[{"triggerTime":"0"}]})";
    return reply;
}

https::Reply timed_out() {
    https::Reply reply;
    reply.outcome = https::Reply::Outcome::unknown;
    reply.failure = "request to www.okx.com timed out after 10000 ms";
    return reply;
}

class DeadManSwitch : public ::testing::Test {
protected:
    // Runs the loop until a request is sent (at most 5 s); the oldest one not yet answered.
    Sent next() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (sent.empty() && std::chrono::steady_clock::now() < deadline) {
            loop.run_one_for(milliseconds(10));
        }
        if (sent.empty()) return {-1, nullptr};
        Sent first = std::move(sent.front());
        sent.pop_front();
        return first;
    }
    // The program armed 60 s and has read since; a third of it has passed: a refresh is due.
    void armed() {
        program_sets(60, [] {});
        queue.loop_ran();
        now_ns += 20'000'000'000;
    }
    // The program's cancel_all_after(seconds), accepted, while `during` happens.
    template <typename During>
    void program_sets(int seconds, During during) {
        DeadManPeriod::ProgramCall call(period, seconds, queue.reads());
        during();
        call.accepted();
    }

    // While in doubt, nothing more goes until the landing time has passed; then the period goes
    // once more, and its acceptance settles the doubt.
    void settles_after_landing(int seconds) {
        EXPECT_EQ(period.state(), DeadManState::doubtful);
        loop.run_for(milliseconds(20));
        EXPECT_TRUE(sent.empty());
        now_ns += DeadManPeriod::kLandingNs;
        Sent last = next();
        ASSERT_EQ(last.seconds, seconds);
        last.done(accepted());
    }

    boost::asio::io_context loop;
    // Like a connection's own loop, it never runs out of work (a refresh in flight arms no timer).
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> busy{
        loop.get_executor()};
    InboundQueue queue;
    static inline std::int64_t now_ns = 0;  // the period's clock, moved by the test
    DeadManPeriod period{[] { return now_ns; }};
    std::deque<Sent> sent;
};

TEST_F(DeadManSwitch, AReaderWaitingOnAFrozenLoopIsNoProgressARunningLoopIs) {
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    queue.open_stream();
    ASSERT_TRUE(queue.watch(fd));  // an asynchronous reader waits: its loop may be frozen
    program_sets(60, [] {});
    now_ns += 20'000'000'000;
    Connection connection(period, queue, loop, sent);
    loop.run_for(milliseconds(20));
    EXPECT_TRUE(sent.empty());
    queue.loop_ran();  // its loop ran
    EXPECT_EQ(next().seconds, 60);
    queue.unwatch(fd);
    close(fd);
}

TEST_F(DeadManSwitch, ARefreshThatFailsAfterTheProgramTurnedItOffIsTurnedOffAgain) {
    armed();
    Connection connection(period, queue, loop, sent);
    Sent refresh = next();
    ASSERT_EQ(refresh.seconds, 60);
    program_sets(0, [] {});  // may reach OKX before the refresh
    refresh.done(timed_out());
    Sent off = next();
    ASSERT_EQ(off.seconds, 0);
    off.done(timed_out());  // and again, until one is accepted
    Sent again = next();
    ASSERT_EQ(again.seconds, 0);
    again.done(accepted());
    settles_after_landing(0);
    EXPECT_EQ(period.state(), DeadManState::off);
    loop.run_for(milliseconds(20));
    EXPECT_TRUE(sent.empty());
}

TEST_F(DeadManSwitch, AnOffCutShortByAClosedConnectionIsSentByTheNext) {
    armed();
    {
        Connection first(period, queue, loop, sent);
        Sent refresh = next();
        program_sets(0, [] {});
        refresh.done(accepted());
        ASSERT_EQ(next().seconds, 0);  // then the connection closes before its answer
    }
    Connection second(period, queue, loop, sent);
    Sent off = next();
    ASSERT_EQ(off.seconds, 0);
    off.done(accepted());
    settles_after_landing(0);
    EXPECT_EQ(period.state(), DeadManState::off);
}

// The program turns the switch off after a connection closed with a refresh on its way, which
// OKX may still take after the program's 0: the 0 goes again once that refresh cannot land.
TEST_F(DeadManSwitch, AnOffAfterAConnectionClosedWithARefreshInFlightIsSentAgainLater) {
    armed();
    {
        Connection first(period, queue, loop, sent);
        ASSERT_EQ(next().seconds, 60);  // then the connection closes before its answer
    }
    program_sets(0, [] {});
    Connection second(period, queue, loop, sent);
    Sent off = next();
    ASSERT_EQ(off.seconds, 0);
    off.done(accepted());
    settles_after_landing(0);
    EXPECT_EQ(period.state(), DeadManState::off);
}

TEST_F(DeadManSwitch, AnOffOvertakingTheProgramsNewPeriodIsFollowedByThatPeriod) {
    armed();
    Connection connection(period, queue, loop, sent);
    Sent refresh = next();
    program_sets(0, [] {});
    refresh.done(accepted());
    Sent off = next();
    ASSERT_EQ(off.seconds, 0);
    program_sets(30, [&] {
        loop.run_for(milliseconds(20));  // nothing goes while the program's call runs
        EXPECT_TRUE(sent.empty());
    });
    off.done(accepted());  // it may have reached OKX after the program's 30
    Sent rearm = next();
    ASSERT_EQ(rearm.seconds, 30);
    rearm.done(accepted());
    settles_after_landing(30);
    EXPECT_EQ(period.state(), DeadManState::armed);
}

// Another connection closing with its refresh in flight raises a doubt: a refresh sent before
// that doubt settles nothing, since the closed one's may still land after it.
TEST_F(DeadManSwitch, OnlyARefreshSentAfterTheLastDoubtSettlesIt) {
    armed();
    Connection first(period, queue, loop, sent);
    Sent early = next();
    period.doubt();  // a second connection closed with its refresh in flight
    early.done(accepted());
    EXPECT_EQ(period.state(), DeadManState::doubtful);
    Sent again = next();  // at once, not a third of the period later
    ASSERT_EQ(again.seconds, 60);
    again.done(accepted());
    settles_after_landing(60);
    EXPECT_EQ(period.state(), DeadManState::armed);
    loop.run_for(milliseconds(20));
    EXPECT_TRUE(sent.empty());  // and then not before the next third
}

TEST(DeadManStates, TurningOffWhileInDoubtKeepsTheDoubtAndOnlyAnAcceptanceEndsIt) {
    using S = DeadManState;
    using E = DeadManEvent;
    EXPECT_EQ(dead_man_transition(S::armed, E::turned_off), S::off);
    EXPECT_EQ(dead_man_transition(S::doubtful, E::turned_off), std::nullopt);
    for (const S from : {S::off, S::armed, S::doubtful}) {
        EXPECT_EQ(dead_man_transition(from, E::doubt), S::doubtful);
        EXPECT_EQ(dead_man_transition(from, E::accepted_off), S::off);
        EXPECT_EQ(dead_man_transition(from, E::accepted_on), S::armed);
    }
}

}  // namespace
}  // namespace corvane
