// The recycling of payload buffers between readers and the run thread.

#include <gtest/gtest.h>

#include "core/payload_buffers.hpp"

namespace corvane {
namespace {

std::string buffer_of(std::size_t capacity) {
    std::string s;
    s.reserve(capacity);
    s.assign(capacity / 2, 'x');
    return s;
}

// One trip from reader to run thread.
void cycle(PayloadBuffers& buffers) {
    buffers.hand_over();
    buffers.restock();
}

TEST(PayloadBuffers, AGivenBackBufferIsReusedEmpty) {
    PayloadBuffers buffers;
    std::string spent = buffer_of(30000);
    const char* storage = spent.data();
    buffers.give_back(std::move(spent));
    cycle(buffers);
    EXPECT_NE(buffers.take(100).data(), storage);  // small messages use their own
    const std::string reused = buffers.take(20000);
    EXPECT_EQ(reused.data(), storage);
    EXPECT_TRUE(reused.empty());
    EXPECT_GE(buffers.take(20000).capacity(), 20000u);  // none left: a fresh one
}

TEST(PayloadBuffers, KeepsOnlyMidSizedBuffersAndBoundedCounts) {
    PayloadBuffers buffers;
    buffers.give_back(buffer_of(100));
    buffers.give_back(buffer_of(PayloadBuffers::kMaxCapacity * 2));
    cycle(buffers);
    EXPECT_EQ(buffers.take(2000).capacity(), 2000u);  // neither was kept

    for (std::size_t i = 0; i < 3 * PayloadBuffers::kMaxKept; ++i)
        buffers.give_back(buffer_of(4096));
    cycle(buffers);
    std::size_t reused = 0;
    while (buffers.take(2000).capacity() >= 4096)
        ++reused;
    EXPECT_EQ(reused, PayloadBuffers::kMaxKept);
}

TEST(PayloadBuffers, OnlyTheRunThreadSeesItsBuffers) {
    PayloadBuffers buffers;
    EXPECT_EQ(PayloadBuffers::current(), nullptr);
    {
        ScopedPayloadBuffers scope(buffers);
        EXPECT_EQ(PayloadBuffers::current(), &buffers);
    }
    EXPECT_EQ(PayloadBuffers::current(), nullptr);
}

}  // namespace
}  // namespace corvane
