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

}  // namespace
}  // namespace corvane
