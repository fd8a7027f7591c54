#include <gtest/gtest.h>

#include "core/silence_tracker.hpp"

namespace corvane {
namespace {

using std::chrono::milliseconds;
using Action = SilenceTracker::Action;

int ticks_until(SilenceTracker& tracker, Action wanted, std::uint64_t arrivals = 0) {
    for (int i = 1; i < 1000; ++i) {
        if (tracker.on_tick(arrivals) == wanted) return i;
    }
    return -1;
}

TEST(SilenceTracker, PingsOnceThenClosesAfterTheGrace) {
    SilenceTracker tracker({milliseconds(25000), milliseconds(35000)});
    EXPECT_EQ(tracker.tick(), milliseconds(1000));
    tracker.reset(0);
    EXPECT_EQ(ticks_until(tracker, Action::ping), 25);
    EXPECT_EQ(ticks_until(tracker, Action::close), 10);
}

TEST(SilenceTracker, AnyArrivalRestartsTheCount) {
    SilenceTracker tracker({milliseconds(100), milliseconds(200)});
    tracker.reset(0);
    for (int i = 0; i < 24; ++i)
        EXPECT_EQ(tracker.on_tick(0), Action::none);
    EXPECT_EQ(tracker.on_tick(1), Action::none);  // something came: silence starts over
    EXPECT_EQ(ticks_until(tracker, Action::ping, 1), 25);
    EXPECT_EQ(tracker.on_tick(2), Action::none);  // the pong
    EXPECT_EQ(ticks_until(tracker, Action::ping, 2), 25);
}

TEST(SilenceTracker, CloseOnlyPolicyNeverPings) {
    SilenceTracker tracker({milliseconds(0), milliseconds(70000)});
    EXPECT_TRUE(tracker.enabled());
    tracker.reset(5);
    EXPECT_EQ(ticks_until(tracker, Action::close, 5), 25);
    EXPECT_FALSE(SilenceTracker({}).enabled());
}

}  // namespace
}  // namespace corvane
