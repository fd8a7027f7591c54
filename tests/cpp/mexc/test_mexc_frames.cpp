// A MEXC connection's phase fed the frames MEXC sends on a stream.

#include <gtest/gtest.h>

#include "mexc/mexc_frames.hpp"

namespace corvane {
namespace {

using P = HandlerPhase;
using E = HandlerEvent;

const std::string kAnswer = R"({"id":0,"code":0,"msg":"spot@public.deals.v3.api.pb@BTCUSDT"})";
const std::string kPong = R"({"id":0,"code":0,"msg":"PONG"})";

TEST(MexcFrames, TheReplaysAnswerMakesItReadyAPongDoesNot) {
    EXPECT_EQ(mexc::frame_event(P::replaying, kPong, false), std::nullopt);
    EXPECT_EQ(mexc::frame_event(P::replaying, kAnswer, false), E::replay_answered);
}

TEST(MexcFrames, TheUnsubscriptionsAnswerDrainsARetiringConnection) {
    EXPECT_EQ(mexc::frame_event(P::retiring, kPong, false), std::nullopt);
    EXPECT_EQ(mexc::frame_event(P::retiring, kAnswer, false), E::drained);
}

TEST(MexcFrames, PushesAndFramesOutsideAWaitBringNothing) {
    EXPECT_EQ(mexc::frame_event(P::replaying, kAnswer, true), std::nullopt);  // a binary push
    EXPECT_EQ(mexc::frame_event(P::replaying, "not json", false), std::nullopt);
    EXPECT_EQ(mexc::frame_event(P::replaying, R"({"msg":3})", false), std::nullopt);
    for (const P phase : {P::opening, P::ready, P::retired})
        EXPECT_EQ(mexc::frame_event(phase, kAnswer, false), std::nullopt);
}

// Fed in order, the frames a switch-over sees: the replay answered among pushes, then retired.
TEST(MexcFrames, AConnectionFedItsFramesGoesThroughItsPhases) {
    HandlerPhases phases;
    phases.fire(E::replay_sent);
    for (const auto& [payload, binary] : std::vector<std::pair<std::string, bool>>{
             {kPong, false}, {"\x0a\x01", true}, {kAnswer, false}, {kAnswer, false}}) {
        if (const auto event = mexc::frame_event(phases.state(), payload, binary)) {
            EXPECT_TRUE(phases.fire(*event));
        }
    }
    EXPECT_TRUE(phases.is(P::ready));  // the second answer is for no one
    ASSERT_TRUE(phases.fire(E::stop_sent));
    const auto event = mexc::frame_event(phases.state(), kAnswer, false);
    ASSERT_EQ(event, E::drained);
    phases.fire(*event);
    EXPECT_TRUE(phases.is(P::retired));
}

}  // namespace
}  // namespace corvane
