// The OKX keep-alive against the simulator, with its intervals shortened.

#include <gtest/gtest.h>

#include "okx/okx_connector.hpp"
#include "sim_process.hpp"

namespace corvane {
namespace {

using std::chrono::milliseconds;
using testing::eventually;
using testing::take_data;

KeepAlive idle_ping(milliseconds after, milliseconds dead_after) {
    KeepAlive keepalive = OkxConnector::default_keepalive();
    keepalive.interval = after;
    keepalive.dead_after = dead_after;
    return keepalive;
}

int count_frames(const testing::SimProcess& sim, const std::string& text) {
    int n = 0;
    for (const auto& frame : sim.frames())
        n += frame.value("text", "") == text;
    return n;
}

TEST(OkxKeepAlive, PingsAfterSilenceConsumesPongsAndClosesASilentPeer) {
    REQUIRE_SIM(sim);
    sim->reset();
    OkxConnector connector(std::nullopt, idle_ping(milliseconds(100), milliseconds(1000)));
    connector.connect(sim->ws_url("/ws/v5/public"));

    // Answered pings keep the connection open past the dead limit (15 pings take over 1.5 s).
    ASSERT_TRUE(eventually([&] { return count_frames(*sim, "ping") >= 15; }));
    EXPECT_TRUE(connector.is_connected());
    EXPECT_FALSE(take_data(connector, milliseconds(0)).has_value());  // no "pong" was queued

    // A peer that stops answering is taken as dead: the reader ends instead of waiting.
    sim->post("/okx?pong=off");
    bool ended = false;
    ASSERT_TRUE(eventually([&] {
        try {
            EXPECT_FALSE(take_data(connector, milliseconds(50)).has_value());
        } catch (const std::runtime_error& e) {
            ended = std::string(e.what()) == "No more messages";
        }
        return ended;
    }));
    EXPECT_FALSE(connector.is_connected());
    sim->reset();
}

TEST(OkxKeepAlive, TrafficMeansNoPing) {
    REQUIRE_SIM(sim);
    sim->reset();
    OkxConnector connector(std::nullopt, idle_ping(milliseconds(60000), milliseconds(70000)));
    connector.subscribe({{"channel", "tickers"}, {"inst_id", "BTC-USDT"}});
    connector.connect(sim->ws_url("/ws/v5/public"));
    ASSERT_TRUE(eventually([&] { return take_data(connector, milliseconds(50)).has_value(); }));
    EXPECT_EQ(count_frames(*sim, "ping"), 0);
}

}  // namespace
}  // namespace corvane
