// What a switch-over relies on beside the network: the reconciliation of two connections'
// pushes, and the pacing of new connections.

#include <gtest/gtest.h>

#include "core/connect_pacer.hpp"
#include "core/reconciler.hpp"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<InboundMessage> batch(std::initializer_list<const char*> payloads) {
    std::vector<InboundMessage> out;
    for (const char* payload : payloads)
        out.emplace_back().payload = payload;
    return out;
}

std::vector<std::string> payloads(const std::vector<InboundMessage>& messages) {
    std::vector<std::string> out;
    for (const auto& message : messages)
        out.push_back(message.payload);
    return out;
}

TEST(Reconciler, PassesEachCopyOnceAndKeepsRepeatsOfOneConnection) {
    Reconciler reconciler(std::chrono::seconds(5));
    const auto t = Clock::now();
    auto old_link = batch({"a", "b", "b", "ack-1"});
    reconciler.filter(1, old_link, t);  // one connection only: nothing to match yet
    EXPECT_EQ(payloads(old_link).size(), 4u);

    reconciler.set_links(2);
    auto first = batch({"c", "d", "d", "ack-1"});
    reconciler.filter(1, first, t);
    EXPECT_EQ(payloads(first), (std::vector<std::string>{"c", "d", "d", "ack-1"}));
    auto second = batch({"c", "d", "e", "ack-2"});  // one "d" and "c" came already
    reconciler.filter(2, second, t);
    EXPECT_EQ(payloads(second), (std::vector<std::string>{"e", "ack-2"}));
    // However long one connection lags (held back by limit_queue, say) while both are open.
    auto later = batch({"d", "e", "f"});  // the second "d" is new from here; "e" came on 2
    reconciler.filter(1, later, t + std::chrono::seconds(60));
    EXPECT_EQ(payloads(later), (std::vector<std::string>{"d", "f"}));

    // The old connection is gone: its copies wait out the window for their twins, then go.
    reconciler.set_links(1);
    auto lagging = batch({"f", "g"});
    reconciler.filter(2, lagging, t + std::chrono::seconds(61));
    EXPECT_EQ(payloads(lagging), (std::vector<std::string>{"g"}));
    auto events = batch({"h"});
    events[0].kind = InboundMessage::Kind::open;
    reconciler.filter(2, events, t + std::chrono::seconds(69));
    EXPECT_FALSE(reconciler.active());
    EXPECT_EQ(events.size(), 1u);
}

TEST(Reconciler, FrameKindAndCapacityBoundTheMatching) {
    Reconciler reconciler(std::chrono::seconds(5), 2);
    reconciler.set_links(2);
    const auto t = Clock::now();
    auto first = batch({"x", "y", "z"});  // "x" waits no more: at most 2 copies wait
    reconciler.filter(1, first, t);
    auto second = batch({"z", "x", "y"});  // "x" pushes "y" out in its turn
    reconciler.filter(2, second, t);
    EXPECT_EQ(payloads(second), (std::vector<std::string>{"x", "y"}));

    auto text = batch({"k"});
    reconciler.filter(1, text, t);
    auto binary = batch({"k"});
    binary[0].binary = true;
    reconciler.filter(2, binary, t);
    EXPECT_EQ(binary.size(), 1u);  // the same bytes in another kind of frame are another message
}

TEST(ConnectPacer, AFourthConnectionWithinASecondWaits) {
    ConnectPacer pacer(3);
    const auto before = Clock::now();
    const auto a = pacer.reserve(), b = pacer.reserve(), c = pacer.reserve();
    EXPECT_GE(a, before);  // the first three go at once
    EXPECT_GE(c, b);
    EXPECT_EQ(pacer.reserve(), a + std::chrono::seconds(1));
    EXPECT_EQ(pacer.reserve(), b + std::chrono::seconds(1));
}

}  // namespace
}  // namespace corvane
