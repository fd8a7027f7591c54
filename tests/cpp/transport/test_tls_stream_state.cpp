// The TLS stream's state table: held reads, and no close_notify after a fatal error.

#include <gtest/gtest.h>

#include "core/transport/tls_stream_state.hpp"

namespace corvane {
namespace {

TEST(TlsStreamState, AHoldSurvivesAFailureAndIsReleasedAfterIt) {
    EXPECT_EQ(tls_transition(TlsState::detached, TlsEvent::attach), TlsState::open);
    EXPECT_EQ(tls_transition(TlsState::open, TlsEvent::hold), TlsState::holding);
    EXPECT_EQ(tls_transition(TlsState::holding, TlsEvent::fail), TlsState::failed_holding);
    EXPECT_TRUE(reads_held(TlsState::failed_holding));
    EXPECT_EQ(tls_transition(TlsState::failed_holding, TlsEvent::release), TlsState::failed);
    EXPECT_FALSE(reads_held(TlsState::failed));
    EXPECT_EQ(tls_transition(TlsState::holding, TlsEvent::release), TlsState::open);
}

TEST(TlsStreamState, OnlyAnAttachedUnbrokenStreamShutsDown) {
    EXPECT_FALSE(may_shut_down(TlsState::detached));
    EXPECT_TRUE(may_shut_down(TlsState::open));
    EXPECT_TRUE(may_shut_down(TlsState::holding));
    EXPECT_FALSE(may_shut_down(TlsState::failed));
    EXPECT_FALSE(may_shut_down(TlsState::failed_holding));
    // A failure is never undone.
    for (const TlsEvent event : {TlsEvent::attach, TlsEvent::hold, TlsEvent::release}) {
        const auto next = tls_transition(TlsState::failed, event);
        EXPECT_TRUE(!next || !may_shut_down(*next));
    }
}

TEST(TlsStreamState, ASecondHoldOrAStrayReleaseChangesNothing) {
    EXPECT_FALSE(tls_transition(TlsState::holding, TlsEvent::hold));
    EXPECT_FALSE(tls_transition(TlsState::open, TlsEvent::release));
    EXPECT_FALSE(tls_transition(TlsState::open, TlsEvent::attach));
}

}  // namespace
}  // namespace corvane
