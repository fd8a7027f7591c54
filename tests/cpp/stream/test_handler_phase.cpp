// The phases every exchange's handler goes through on one connection, driven through the table.

#include <gtest/gtest.h>

#include "core/stream/handler_phase.hpp"

namespace corvane {
namespace {

using P = HandlerPhase;
using E = HandlerEvent;

TEST(HandlerPhase, APrivateConnectionLogsInReplaysAndRetires) {
    HandlerPhases phases;
    EXPECT_TRUE(phases.is(P::opening));
    EXPECT_TRUE(phases.fire(E::login_sent));
    EXPECT_FALSE(phases.fire(E::replay_answered));  // no answer counts before the replay
    EXPECT_TRUE(phases.fire(E::replay_sent));
    EXPECT_TRUE(phases.fire(E::replay_answered));
    EXPECT_TRUE(phases.is(P::ready));
    EXPECT_FALSE(phases.fire(E::drained));  // nothing was asked to stop
    EXPECT_TRUE(phases.fire(E::stop_sent));
    EXPECT_TRUE(phases.fire(E::drained));
    EXPECT_TRUE(phases.is(P::retired));
}

TEST(HandlerPhase, ALoggingInOrReplayingConnectionCannotBeAskedToStop) {
    for (const P phase : {P::logging_in, P::replaying})
        EXPECT_FALSE(handler_transition(phase, E::stop_sent)) << static_cast<int>(phase);
    for (const P phase : {P::opening, P::refused, P::ready, P::retiring, P::retired})
        EXPECT_EQ(handler_transition(phase, E::stop_sent), P::retiring) << static_cast<int>(phase);
}

TEST(HandlerPhase, ARefusedLoginReplaysNothing) {
    HandlerPhases phases;
    phases.fire(E::login_sent);
    EXPECT_TRUE(phases.fire(E::login_refused));
    EXPECT_FALSE(phases.allows(E::replay_sent));
    EXPECT_FALSE(phases.fire(E::login_refused));  // one login reply only
    EXPECT_TRUE(phases.is(P::refused));
}

TEST(HandlerPhase, APublicConnectionReplaysWithoutALogin) {
    HandlerPhases phases;
    EXPECT_TRUE(phases.fire(E::replay_sent));
    EXPECT_FALSE(phases.allows(E::login_sent));
    EXPECT_FALSE(phases.allows(E::login_refused));
    EXPECT_TRUE(phases.fire(E::replay_answered));
    EXPECT_FALSE(phases.fire(E::replay_answered));  // ready once
}

}  // namespace
}  // namespace corvane
