// The recycling of payload buffers between readers and the run thread.

#include <gtest/gtest.h>

#include "core/inbound/payload_buffers.hpp"

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
    std::string spent = buffer_of(300);  // small ones too: a reader must not free them
    const char* storage = spent.data();
    buffers.give_back(std::move(spent));
    cycle(buffers);
    const std::string reused = buffers.take(200);
    EXPECT_EQ(reused.data(), storage);
    EXPECT_TRUE(reused.empty());
    EXPECT_GE(buffers.take(200).capacity(), 200u);  // none left: a fresh one
}

// All of a backlog's buffers circulate; at rest the run thread keeps a bounded amount.
TEST(PayloadBuffers, KeepsHeapBuffersAndTrimsWhatRestsToABound) {
    PayloadBuffers buffers;
    buffers.give_back(std::string("inline"));
    buffers.give_back(buffer_of(PayloadBuffers::kMaxCapacity * 2));
    cycle(buffers);
    EXPECT_EQ(buffers.take(2000).capacity(), 2000u);  // neither was kept

    const std::size_t bound = PayloadBuffers::kKeptBytes / 4096;
    const auto reusable = [&buffers] {
        std::size_t reused = 0;
        for (std::string b = buffers.take(2000); b.capacity() >= 4096; b = buffers.take(2000))
            ++reused;
        return reused;
    };
    for (std::size_t i = 0; i < 3 * bound; ++i)
        buffers.give_back(buffer_of(4096));
    cycle(buffers);
    EXPECT_EQ(reusable(), 3 * bound);

    for (std::size_t i = 0; i < 3 * bound; ++i)
        buffers.give_back(buffer_of(4096));
    cycle(buffers);
    buffers.trim_local();
    EXPECT_EQ(reusable(), bound);

    // A reader that has been given back more than may stay at rest says so, until handed over.
    const std::size_t big = PayloadBuffers::kMaxCapacity;
    for (std::size_t i = 0; i <= PayloadBuffers::kRestBytes / big; ++i) {
        EXPECT_FALSE(buffers.returned_too_much());
        buffers.give_back(buffer_of(big));
    }
    EXPECT_TRUE(buffers.returned_too_much());
    buffers.hand_over();
    EXPECT_FALSE(buffers.returned_too_much());
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
