// The pacing of new connections to one exchange: never more than its limit within a second,
// however many threads reserve at once.

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "core/stream/connect_pacer.hpp"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

TEST(ConnectPacer, AFourthConnectionWithinASecondWaits) {
    ConnectPacer pacer(3);
    const auto before = Clock::now();
    const auto a = pacer.reserve(), b = pacer.reserve(), c = pacer.reserve();
    EXPECT_GE(a, before);  // the first three go at once
    EXPECT_GE(c, b);
    EXPECT_EQ(pacer.reserve(), a + std::chrono::seconds(1));
    EXPECT_EQ(pacer.reserve(), b + std::chrono::seconds(1));
}

// Reserving never waits, so threads racing for places all get one, and no second holds more
// than the limit.
TEST(ConnectPacer, ThreadsReservingAtOnceKeepWithinTheLimit) {
    ConnectPacer pacer(3);
    std::vector<std::vector<Clock::time_point>> taken(8);
    std::vector<std::thread> threads;
    for (auto& mine : taken)
        threads.emplace_back([&pacer, &mine] {
            for (int n = 0; n < 5; ++n) mine.push_back(pacer.reserve());
        });
    for (auto& thread : threads) thread.join();
    std::vector<Clock::time_point> all;
    for (const auto& mine : taken) all.insert(all.end(), mine.begin(), mine.end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), 40u);
    for (std::size_t i = 0; i + 3 < all.size(); ++i)
        EXPECT_GE(all[i + 3] - all[i], std::chrono::seconds(1)) << i;
    EXPECT_LE(all.back() - all.front(), std::chrono::seconds(13));  // no place lost
}

}  // namespace
}  // namespace corvane
