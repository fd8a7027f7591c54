// The inbound queue between a connection's run thread and its readers: order, the end of the
// stream, the bound on queued bytes and the event-loop watchers, alone and from several threads
// at once (these are the ones TSan is for). Every wait is bounded; none depends on timing.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/inbound/inbound_queue.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;

InboundMessage message(const std::string& text) {
    InboundMessage m;
    m.payload = text;
    return m;
}

InboundMessage event(InboundMessage::Kind kind) {
    InboundMessage m;
    m.kind = kind;
    return m;
}

// Takes until the stream ends; what it took, in order. Bounded by `each` per message.
std::vector<std::string> drain(InboundQueue& queue, std::chrono::milliseconds each = 5000ms) {
    std::vector<std::string> got;
    for (;;) {
        std::optional<InboundMessage> m;
        try {
            m = queue.take(each);
        } catch (const std::runtime_error&) {
            return got;
        }
        if (!m) throw std::runtime_error("nothing came within the bound");
        got.push_back(m->payload);
    }
}

// An eventfd a reader watches; closed at the end.
struct EventFd {
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ~EventFd() { close(fd); }
    // Whether it became readable within `bound`; consumes the count.
    bool fired(std::chrono::milliseconds bound) const {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(bound.count())) != 1) return false;
        eventfd_t count = 0;
        return eventfd_read(fd, &count) == 0;
    }
};

TEST(InboundQueue, ReadersGetMessagesInOrderThenTheEnd) {
    InboundQueue queue;
    queue.open_stream();
    EXPECT_FALSE(queue.push(message("a")));  // nobody waits: no wake-up needed
    std::vector<InboundMessage> batch;
    batch.push_back(message("b"));
    batch.push_back(event(InboundMessage::Kind::close));
    batch.push_back(message("c"));
    queue.push_all(batch);
    EXPECT_TRUE(batch.empty());
    EXPECT_EQ(queue.take(0ms)->payload, "a");
    EXPECT_EQ(queue.take(0ms)->payload, "b");
    EXPECT_EQ(queue.take(0ms)->kind, InboundMessage::Kind::close);
    EXPECT_EQ(queue.try_take()->payload, "c");
    EXPECT_FALSE(queue.take(0ms).has_value());  // live and empty: nothing yet
    EXPECT_FALSE(queue.try_take().has_value());
    queue.end_stream();
    EXPECT_THROW(queue.take(0ms), std::runtime_error);
    EXPECT_THROW(queue.try_take(), std::runtime_error);
}

TEST(InboundQueue, WhatWasQueuedIsDrainedAfterTheEnd) {
    InboundQueue queue;
    queue.open_stream();
    queue.push(message("x"));
    queue.end_stream();
    EXPECT_FALSE(queue.live());
    EXPECT_EQ(queue.take(0ms)->payload, "x");
    try {
        queue.take(0ms);
        FAIL() << "no end";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "No more messages");
    }
}

TEST(InboundQueue, CountsOnlyDataMessages) {
    InboundQueue queue;
    queue.open_stream();
    queue.push(message("12345"));
    queue.push(event(InboundMessage::Kind::open));
    InboundQueue::Counts counts = queue.counts();
    EXPECT_EQ(counts.received_messages, 1u);
    EXPECT_EQ(counts.received_bytes, 5u);
    EXPECT_EQ(counts.queued_messages, 1u);
    EXPECT_EQ(counts.queued_bytes, 5u);
    queue.take(0ms);
    counts = queue.counts();
    EXPECT_EQ(counts.queued_bytes, 0u);
    EXPECT_EQ(counts.max_queued_bytes, 5u);
}

TEST(InboundQueue, TheBoundPausesAboveItAndResumesBelowHalf) {
    InboundQueue queue;
    queue.open_stream();
    queue.limit_bytes(10);
    int resumes = 0;
    queue.push(message(std::string(6, 'a')));
    EXPECT_FALSE(queue.over_limit());
    queue.push(message(std::string(6, 'b')));
    ASSERT_TRUE(queue.over_limit());
    ASSERT_TRUE(queue.pause([&] { ++resumes; }));
    EXPECT_TRUE(queue.counts().paused);
    queue.take(0ms);  // 6 left: not below half
    EXPECT_EQ(resumes, 0);
    queue.take(0ms);
    EXPECT_EQ(resumes, 1);
    queue.resumed();
    EXPECT_FALSE(queue.counts().paused);
}

TEST(InboundQueue, NoPauseOnceReadersHaveDrainedIt) {
    InboundQueue queue;
    queue.open_stream();
    queue.limit_bytes(10);
    queue.push(message(std::string(11, 'a')));
    ASSERT_TRUE(queue.over_limit());
    queue.take(0ms);  // drained between the check and the pause
    EXPECT_FALSE(queue.pause([] { FAIL() << "resumed without a pause"; }));
    EXPECT_FALSE(queue.counts().paused);
}

TEST(InboundQueue, RaisingTheLimitReleasesAPausedProducer) {
    InboundQueue queue;
    queue.open_stream();
    queue.limit_bytes(10);
    queue.push(message(std::string(11, 'a')));
    int resumes = 0;
    ASSERT_TRUE(queue.pause([&] { ++resumes; }));
    queue.limit_bytes(0);
    EXPECT_EQ(resumes, 1);
    EXPECT_FALSE(queue.over_limit());
}

TEST(InboundQueue, AWatcherIsWrittenOnceWhenAMessageComes) {
    InboundQueue queue;
    queue.open_stream();
    EventFd watcher;
    ASSERT_TRUE(queue.watch(watcher.fd));
    queue.push(message("m"));
    EXPECT_TRUE(watcher.fired(0ms));
    queue.push(message("n"));
    EXPECT_FALSE(watcher.fired(0ms));  // once only: it watches again after taking
    EXPECT_FALSE(queue.watch(watcher.fd));  // something is queued: take instead
    EXPECT_EQ(queue.take(0ms)->payload, "m");
}

TEST(InboundQueue, AnUnwatchedDescriptorIsNeverWritten) {
    InboundQueue queue;
    queue.open_stream();
    EventFd watcher;
    ASSERT_EQ(queue.try_watch(watcher.fd), std::optional<bool>(true));
    EXPECT_TRUE(queue.try_unwatch(watcher.fd));
    queue.push(message("m"));
    queue.end_stream();
    EXPECT_FALSE(watcher.fired(0ms));
}

TEST(InboundQueue, TheEndWakesAWatcher) {
    InboundQueue queue;
    queue.open_stream();
    EventFd watcher;
    ASSERT_TRUE(queue.watch(watcher.fd));
    queue.end_stream();
    EXPECT_TRUE(watcher.fired(0ms));
    EXPECT_FALSE(queue.watch(watcher.fd));  // ended: take, which says so
}

TEST(InboundQueue, ReadsCountEveryAskingReader) {
    InboundQueue queue;
    queue.open_stream();
    EventFd watcher;
    queue.take(0ms);
    queue.try_take();
    queue.watch(watcher.fd);
    queue.loop_ran();
    EXPECT_EQ(queue.reads(), 4u);
}

// ---- several threads ----

constexpr int kMessages = 20000;

TEST(InboundQueueThreads, EachMessageGoesToExactlyOneOfSeveralReaders) {
    InboundQueue queue;
    queue.open_stream();
    std::vector<std::future<std::vector<std::string>>> readers;
    for (int r = 0; r < 3; ++r)
        readers.push_back(std::async(std::launch::async, [&] { return drain(queue); }));
    std::thread producer([&] {
        for (int i = 0; i < kMessages; ++i) {
            if (queue.push(message(std::to_string(i)))) queue.wake();
        }
        queue.end_stream();
    });
    producer.join();
    std::set<int> seen;
    for (auto& reader : readers) {
        ASSERT_EQ(reader.wait_for(30s), std::future_status::ready);
        int last = -1;
        for (const std::string& text : reader.get()) {
            const int n = std::stoi(text);
            EXPECT_GT(n, last);  // each reader sees its share in arrival order
            last = n;
            EXPECT_TRUE(seen.insert(n).second) << n << " twice";
        }
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kMessages));
}

// Waits (boundedly, without sleeping) until `count` readers wait in take().
bool readers_wait(const InboundQueue& queue, int count) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (queue.waiting_readers() < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// A reader already waiting must hear of the end at once, not when its wait runs out (which
// would return nothing instead).
TEST(InboundQueueThreads, TheEndWakesEveryReaderThatWaits) {
    InboundQueue queue;
    queue.open_stream();
    const auto wait_for_end = [&] {
        try {
            queue.take(60s);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("no end");
    };
    auto first = std::async(std::launch::async, wait_for_end);
    auto second = std::async(std::launch::async, wait_for_end);
    ASSERT_TRUE(readers_wait(queue, 2));
    queue.end_stream();
    ASSERT_EQ(first.wait_for(30s), std::future_status::ready);
    ASSERT_EQ(second.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(first.get(), "No more messages");
    EXPECT_EQ(second.get(), "No more messages");
}

// A message pushed for a waiting reader reaches it at once, once the producer wakes it.
TEST(InboundQueueThreads, AWaitingReaderIsWokenByTheMessage) {
    InboundQueue queue;
    queue.open_stream();
    auto reader = std::async(std::launch::async, [&] { return queue.take(60s); });
    ASSERT_TRUE(readers_wait(queue, 1));
    ASSERT_TRUE(queue.push(message("m")));  // it says a reader waits
    queue.wake();
    ASSERT_EQ(reader.wait_for(30s), std::future_status::ready);
    const std::optional<InboundMessage> got = reader.get();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->payload, "m");
}

// The producer stops at the bound and waits (boundedly) for the resume, as a connection does.
TEST(InboundQueueThreads, APausedProducerIsResumedByTheReader) {
    InboundQueue queue;
    queue.open_stream();
    constexpr std::size_t kLimit = 4096;
    queue.limit_bytes(kLimit);
    auto reader = std::async(std::launch::async, [&] { return drain(queue); });
    int pauses = 0;
    bool stalled = false;
    std::thread producer([&] {
        const std::string payload(100, 'p');
        for (int i = 0; i < kMessages && !stalled; ++i) {
            if (queue.push(message(payload))) queue.wake();
            if (!queue.over_limit()) continue;
            auto resumed = std::make_shared<std::promise<void>>();
            std::future<void> wait = resumed->get_future();
            if (!queue.pause([resumed] { resumed->set_value(); })) continue;
            ++pauses;
            stalled = wait.wait_for(30s) != std::future_status::ready;
            queue.resumed();
        }
        queue.end_stream();
    });
    producer.join();
    EXPECT_FALSE(stalled);
    EXPECT_GT(pauses, 0);
    ASSERT_EQ(reader.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(reader.get().size(), static_cast<std::size_t>(kMessages));
    EXPECT_LE(queue.counts().max_queued_bytes, kLimit + 100);
}

// A reader on an event loop: take what is there, else watch and wait for the descriptor.
TEST(InboundQueueThreads, AWatchingReaderMissesNothing) {
    InboundQueue queue;
    queue.open_stream();
    auto reader = std::async(std::launch::async, [&] {
        EventFd watcher;
        std::vector<std::string> got;
        for (;;) {
            try {
                while (auto m = queue.take(0ms)) got.push_back(m->payload);
            } catch (const std::runtime_error&) {
                return got;
            }
            if (queue.watch(watcher.fd) && !watcher.fired(30000ms)) {
                queue.unwatch(watcher.fd);
                return got;  // a lost wake-up: the count below tells
            }
        }
    });
    std::thread producer([&] {
        for (int i = 0; i < kMessages; ++i)
            queue.push(message(std::to_string(i)));
        queue.end_stream();
    });
    producer.join();
    ASSERT_EQ(reader.wait_for(60s), std::future_status::ready);
    const std::vector<std::string> got = reader.get();
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kMessages));
    EXPECT_EQ(got.back(), std::to_string(kMessages - 1));
}

}  // namespace
}  // namespace corvane
