// The inbound queue's parts alone: its two state tables, its bound and its watchers.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "core/inbound/inbound_bound.hpp"
#include "core/inbound/inbound_states.hpp"
#include "core/inbound/inbound_watchers.hpp"

namespace corvane {
namespace {

TEST(InboundStates, TheStreamOpensAndEndsAndOpensAgain) {
    EXPECT_EQ(stream_transition(StreamState::closed, StreamEvent::open), StreamState::open);
    EXPECT_EQ(stream_transition(StreamState::open, StreamEvent::end), StreamState::closed);
    // A reconnect opens it again; a second open or end changes nothing.
    EXPECT_FALSE(stream_transition(StreamState::open, StreamEvent::open));
    EXPECT_FALSE(stream_transition(StreamState::closed, StreamEvent::end));
}

TEST(InboundStates, TheBoundPausesOnceAndResumes) {
    EXPECT_EQ(bound_transition(BoundState::reading, BoundEvent::pause), BoundState::paused);
    EXPECT_EQ(bound_transition(BoundState::paused, BoundEvent::resume), BoundState::reading);
    EXPECT_FALSE(bound_transition(BoundState::paused, BoundEvent::pause));
    // A connection's end resumes whatever its state.
    EXPECT_FALSE(bound_transition(BoundState::reading, BoundEvent::resume));
}

TEST(InboundBound, UnboundedNeverPauses) {
    InboundBound bound;
    const auto huge = [] { return std::uint64_t{1} << 40; };
    EXPECT_FALSE(bound.over(huge));
    EXPECT_FALSE(bound.pause(huge, [] {}));
    EXPECT_FALSE(bound.paused());
}

TEST(InboundBound, ResumesOnceBelowHalfOnly) {
    InboundBound bound;
    bound.limit_bytes(100);
    std::uint64_t queued = 101;
    const auto count = [&] { return queued; };
    EXPECT_TRUE(bound.over(count));
    int resumes = 0;
    ASSERT_TRUE(bound.pause(count, [&] { ++resumes; }));
    EXPECT_TRUE(bound.paused());
    queued = 50;  // half: not below it
    bound.release_if_drained(count);
    EXPECT_EQ(resumes, 0);
    queued = 49;
    bound.release_if_drained(count);
    bound.release_if_drained(count);
    EXPECT_EQ(resumes, 1);
    EXPECT_TRUE(bound.paused());  // until the producer says it reads again
    bound.resumed();
    EXPECT_FALSE(bound.paused());
}

TEST(InboundBound, APauseBelowHalfIsRefused) {
    InboundBound bound;
    bound.limit_bytes(100);
    EXPECT_FALSE(bound.pause([] { return std::uint64_t{49}; }, [] {}));
    EXPECT_FALSE(bound.paused());
}

TEST(InboundBound, AResumeForgottenIsNeverCalled) {
    InboundBound bound;
    bound.limit_bytes(100);
    int resumes = 0;
    ASSERT_TRUE(bound.pause([] { return std::uint64_t{200}; }, [&] { ++resumes; }));
    bound.resumed();  // the connection ended
    bound.release_if_drained([] { return std::uint64_t{0}; });
    EXPECT_EQ(resumes, 0);
}

TEST(InboundStates, ReadingPastTheBoundEndsInDrainingOrForGood) {
    EXPECT_EQ(bound_transition(BoundState::paused, BoundEvent::lift), BoundState::lifted);
    EXPECT_EQ(bound_transition(BoundState::lifted, BoundEvent::resume), BoundState::reading);
    EXPECT_EQ(bound_transition(BoundState::lifted, BoundEvent::overrun), BoundState::overrun);
    EXPECT_EQ(bound_transition(BoundState::paused, BoundEvent::overrun), BoundState::overrun);
    EXPECT_EQ(bound_transition(BoundState::reading, BoundEvent::overrun), BoundState::overrun);
    EXPECT_FALSE(bound_transition(BoundState::reading, BoundEvent::lift));
    EXPECT_FALSE(bound_transition(BoundState::overrun, BoundEvent::lift));
    EXPECT_FALSE(bound_transition(BoundState::overrun, BoundEvent::pause));
    // Only the connection's end lets a new one read.
    EXPECT_EQ(bound_transition(BoundState::overrun, BoundEvent::resume), BoundState::reading);
}

TEST(InboundBound, TheMarginIsTheBoundOr16MiBWhicheverIsLarger) {
    constexpr std::uint64_t MiB = 1 << 20;
    InboundBound bound;
    const auto empty = [] { return std::uint64_t{0}; };
    EXPECT_TRUE(bound.fits(empty, std::uint64_t{1} << 40));  // unbounded
    bound.limit_bytes(1 * MiB);
    EXPECT_EQ(bound.margin(), 16 * MiB);
    std::uint64_t queued = 17 * MiB - 10;
    const auto count = [&] { return queued; };
    EXPECT_TRUE(bound.fits(count, 10));
    EXPECT_FALSE(bound.fits(count, 11));
    bound.limit_bytes(40 * MiB);
    EXPECT_EQ(bound.margin(), 40 * MiB);
    queued = 80 * MiB;
    EXPECT_TRUE(bound.fits(count, 0));
    EXPECT_FALSE(bound.fits(count, 1));
}

TEST(InboundBound, ReadingPastTheBoundIsNotPausedAndResumesBelowHalf) {
    InboundBound bound;
    bound.limit_bytes(100);
    std::uint64_t queued = 150;
    const auto count = [&] { return queued; };
    int resumes = 0;
    ASSERT_TRUE(bound.pause(count, [&] { ++resumes; }));
    EXPECT_TRUE(bound.lift());
    EXPECT_FALSE(bound.lift());
    EXPECT_FALSE(bound.paused());
    EXPECT_TRUE(bound.lifted());
    queued = 49;
    bound.release_if_drained(count);
    EXPECT_EQ(resumes, 1);
    bound.resumed();
    EXPECT_FALSE(bound.lifted());
}

TEST(InboundBound, AnOverrunStopsReadingForGoodAndIsCounted) {
    InboundBound bound;
    bound.limit_bytes(100);
    std::uint64_t queued = 150;
    const auto count = [&] { return queued; };
    int resumes = 0;
    ASSERT_TRUE(bound.pause(count, [&] { ++resumes; }));
    ASSERT_TRUE(bound.lift());
    EXPECT_TRUE(bound.overrun());
    EXPECT_FALSE(bound.overrun());  // once per connection's life
    EXPECT_TRUE(bound.paused());
    EXPECT_FALSE(bound.lifted());
    EXPECT_EQ(bound.overruns(), 1u);
    queued = 0;  // the reader drains what was kept: reading does not start again
    bound.release_if_drained(count);
    EXPECT_EQ(resumes, 0);
    EXPECT_FALSE(bound.lift());
    bound.resumed();  // the connection has ended
    EXPECT_FALSE(bound.paused());
    EXPECT_EQ(bound.overruns(), 1u);
}

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) != 1) return false;
    eventfd_t count = 0;
    return eventfd_read(fd, &count) == 0;
}

TEST(InboundWatchers, EachIsWrittenOnceAndForgotten) {
    const int a = eventfd(0, EFD_NONBLOCK);
    const int b = eventfd(0, EFD_NONBLOCK);
    InboundWatchers watchers;
    watchers.add(a);
    watchers.add(b);
    watchers.remove(b);
    watchers.signal();
    EXPECT_TRUE(readable(a));
    EXPECT_FALSE(readable(b));
    EXPECT_TRUE(watchers.empty());
    watchers.signal();
    EXPECT_FALSE(readable(a));
    close(a);
    close(b);
}

}  // namespace
}  // namespace corvane
