#include <gtest/gtest.h>

#include "core/stream/keepalive.hpp"

namespace corvane {
namespace {

using std::chrono::milliseconds;
using Action = KeepAliveSchedule::Action;
using Ping = KeepAlive::Ping;

int ticks_until(KeepAliveSchedule& schedule, Action wanted, std::uint64_t arrivals = 0) {
    for (int i = 1; i < 1000; ++i) {
        if (schedule.on_tick(arrivals) == wanted) return i;
    }
    return -1;
}

KeepAlive policy(Ping ping, milliseconds interval, milliseconds dead_after) {
    KeepAlive keepalive;
    keepalive.ping = ping;
    keepalive.interval = interval;
    keepalive.dead_after = dead_after;
    return keepalive;
}

TEST(KeepAliveSchedule, IdlePingsOnceThenClosesAfterTheGrace) {
    KeepAliveSchedule schedule(policy(Ping::when_idle, milliseconds(25000), milliseconds(35000)));
    EXPECT_EQ(schedule.tick(), milliseconds(1000));
    EXPECT_FALSE(schedule.start(0));
    EXPECT_EQ(ticks_until(schedule, Action::ping), 25);
    EXPECT_EQ(ticks_until(schedule, Action::close), 10);
}

TEST(KeepAliveSchedule, AnyArrivalRestartsTheSilence) {
    KeepAliveSchedule schedule(policy(Ping::when_idle, milliseconds(100), milliseconds(200)));
    schedule.start(0);
    for (int i = 0; i < 24; ++i)
        EXPECT_EQ(schedule.on_tick(0), Action::none);
    EXPECT_EQ(schedule.on_tick(1), Action::none);  // something came: silence starts over
    EXPECT_EQ(ticks_until(schedule, Action::ping, 1), 25);
    EXPECT_EQ(schedule.on_tick(2), Action::none);  // the pong
    EXPECT_EQ(ticks_until(schedule, Action::ping, 2), 25);
}

TEST(KeepAliveSchedule, PeriodicPingsAtOpenAndEveryIntervalWhateverArrives) {
    KeepAliveSchedule schedule(
        policy(Ping::periodically, milliseconds(30000), milliseconds(70000)));
    EXPECT_EQ(schedule.tick(), milliseconds(1200));
    EXPECT_TRUE(schedule.start(0));
    std::uint64_t arrivals = 0;
    for (int round = 0; round < 3; ++round) {
        for (int i = 1; i < 25; ++i)
            EXPECT_EQ(schedule.on_tick(++arrivals), Action::none);
        EXPECT_EQ(schedule.on_tick(++arrivals), Action::ping);
    }
    EXPECT_EQ(ticks_until(schedule, Action::close, arrivals), 59);  // 70.8 s of silence
}

TEST(KeepAliveSchedule, WatchdogOnlyNeverPings) {
    KeepAliveSchedule schedule(policy(Ping::never, milliseconds(0), milliseconds(70000)));
    EXPECT_TRUE(schedule.enabled());
    schedule.start(5);
    EXPECT_EQ(ticks_until(schedule, Action::close, 5), 25);
    EXPECT_FALSE(KeepAliveSchedule(KeepAlive{}).enabled());
}

KeepAlive timed(Ping ping, milliseconds interval, milliseconds ping_timeout) {
    KeepAlive keepalive = policy(ping, interval, milliseconds(0));
    keepalive.ping_timeout = ping_timeout;
    return keepalive;
}

TEST(KeepAliveSchedule, PingTimeoutCountsFromTheFirstUnansweredPing) {
    KeepAliveSchedule schedule(timed(Ping::periodically, milliseconds(1000), milliseconds(500)));
    EXPECT_EQ(schedule.tick(), milliseconds(20));
    EXPECT_TRUE(schedule.start(0));
    EXPECT_EQ(schedule.on_tick(1), Action::none);  // the answer to the opening ping
    EXPECT_EQ(ticks_until(schedule, Action::ping, 1), 49);
    EXPECT_EQ(ticks_until(schedule, Action::unanswered, 1), 25);  // 0.5 s after it
}

TEST(KeepAliveSchedule, PingTimeoutLongerThanTheIntervalStillCountsFromTheFirstPing) {
    KeepAliveSchedule schedule(timed(Ping::periodically, milliseconds(100), milliseconds(250)));
    schedule.start(0);
    int pings = 0;
    int ticks = 0;
    Action action = Action::none;
    while (action != Action::unanswered && ticks < 1000) {
        action = schedule.on_tick(0);
        pings += action == Action::ping;
        ++ticks;
    }
    EXPECT_EQ(ticks, 63);  // 250 ms after the opening ping, in 4 ms ticks
    EXPECT_EQ(pings, 2);   // later pings go out meanwhile
}

TEST(KeepAliveSchedule, IdlePingTimesOutOnlyWhileNothingArrivesAndTheReaderReads) {
    KeepAliveSchedule schedule(timed(Ping::when_idle, milliseconds(100), milliseconds(100)));
    EXPECT_FALSE(schedule.start(0));
    EXPECT_EQ(ticks_until(schedule, Action::ping), 25);
    for (int i = 0; i < 100; ++i)  // paused: the answer cannot be read
        EXPECT_EQ(schedule.on_tick(0, true), Action::none);
    EXPECT_EQ(ticks_until(schedule, Action::unanswered), 25);
    EXPECT_EQ(schedule.on_tick(1), Action::none);  // anything arriving answers it
    EXPECT_EQ(ticks_until(schedule, Action::ping, 1), 25);
}

}  // namespace
}  // namespace corvane
