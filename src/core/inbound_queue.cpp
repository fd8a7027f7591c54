#include "core/inbound_queue.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace corvane {
namespace {

// A backlog this long has spread its payloads over many heap pages; once the reader has caught
// up those pages go back to the system instead of staying with the process.
constexpr std::size_t kTrimAfterBacklog = 65536;

void release_free_memory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

}  // namespace

bool InboundQueue::push(std::string&& payload, bool binary, bool ascii) {
    bool restocked = false;
    bool reader_waits = false;
    {
        std::lock_guard<std::mutex> lock(mtx);
        incoming.push_back(InboundMessage{std::move(payload), binary, ascii});
        restocked = payload_buffers.restock();
        backlog_peak = std::max(backlog_peak, incoming.size());
        if (!watchers.empty()) signal_watchers();
        // A reader registers itself under mtx before it waits, so a wake-up sent after this
        // returns cannot miss it, and it never lands on a mutex still held here.
        reader_waits = readers_waiting.load(std::memory_order_relaxed) > 0;
    }
    if (restocked) payload_buffers.trim_local();  // the run thread's own: no lock held
    return reader_waits;
}

void InboundQueue::open_stream() {
    std::lock_guard<std::mutex> lock(mtx);
    is_live.store(true);
}

void InboundQueue::end_stream() {
    {
        std::lock_guard<std::mutex> lock(mtx);
        is_live.store(false);
        signal_watchers();
    }
    cv.notify_all();
}

bool InboundQueue::nothing_to_take() const {
    return incoming.empty() && ready_count.load(std::memory_order_relaxed) == 0 && is_live.load();
}

bool InboundQueue::watch(int fd) {
    std::lock_guard<std::mutex> lock(mtx);
    return add_watcher(fd);
}

std::optional<bool> InboundQueue::try_watch(int fd) {
    std::unique_lock<std::mutex> lock(mtx, std::try_to_lock);
    if (!lock.owns_lock()) return std::nullopt;
    return add_watcher(fd);
}

bool InboundQueue::add_watcher(int fd) {
    if (!nothing_to_take()) return false;
    watchers.push_back(fd);
    return true;
}

void InboundQueue::unwatch(int fd) {
    std::lock_guard<std::mutex> lock(mtx);
    remove_watcher(fd);
}

bool InboundQueue::try_unwatch(int fd) {
    std::unique_lock<std::mutex> lock(mtx, std::try_to_lock);
    if (lock.owns_lock()) remove_watcher(fd);
    return lock.owns_lock();
}

void InboundQueue::remove_watcher(int fd) {
    watchers.erase(std::remove(watchers.begin(), watchers.end(), fd), watchers.end());
}

// Each watcher is written once: it reads the descriptor, takes what it can and watches again.
void InboundQueue::signal_watchers() {
    for (const int fd : watchers) {
        const eventfd_t one = 1;
        // A failure can only be a full counter (the watcher is readable either way) or a closed
        // descriptor, which unwatch() rules out.
        [[maybe_unused]] const auto written = write(fd, &one, sizeof one);
    }
    watchers.clear();
}

std::optional<InboundMessage> InboundQueue::take(std::chrono::milliseconds max_wait) {
    const auto deadline = std::chrono::steady_clock::now() + max_wait;
    for (;;) {
        std::unique_lock<std::mutex> reader(reader_mtx);
        if (!ready.empty()) return pop_ready(reader);
        std::unique_lock<std::mutex> lock(mtx);
        if (auto message = take_incoming(reader, lock)) return message;
        reader.unlock();  // a waiting reader holds mtx only, and the wait releases that
        readers_waiting.fetch_add(1, std::memory_order_relaxed);
        const bool woken = cv.wait_until(lock, deadline, [this] { return !nothing_to_take(); });
        readers_waiting.fetch_sub(1, std::memory_order_relaxed);
        if (!woken) return std::nullopt;
    }
}

std::optional<InboundMessage> InboundQueue::try_take() {
    std::unique_lock<std::mutex> reader(reader_mtx, std::try_to_lock);
    if (!reader.owns_lock()) return std::nullopt;
    if (!ready.empty()) return pop_ready(reader);
    std::unique_lock<std::mutex> lock(mtx, std::try_to_lock);
    if (!lock.owns_lock()) return std::nullopt;
    return take_incoming(reader, lock);
}

// Both locks held, `ready` empty: the oldest of what the producer queued, nullopt when nothing
// is queued, "No more messages" when nothing is queued and the stream has ended.
std::optional<InboundMessage> InboundQueue::take_incoming(std::unique_lock<std::mutex>& reader,
                                                          std::unique_lock<std::mutex>& lock) {
    if (!incoming.empty()) {
        refill();
        lock.unlock();
        return pop_ready(reader);
    }
    if (!is_live.load()) throw std::runtime_error("No more messages");
    return std::nullopt;
}

void InboundQueue::refill() {
    incoming.hand_to(ready);  // `ready` was empty: the producer goes on with its storage
    ready_count.store(ready.size(), std::memory_order_relaxed);
    payload_buffers.hand_over();
    ready_peak = std::max({ready_peak, backlog_peak, ready.size()});
    backlog_peak = 0;
}

InboundMessage InboundQueue::pop_ready(std::unique_lock<std::mutex>& reader) {
    InboundMessage front = ready.pop_front();
    // Relaxed: a waiting reader reads it under mtx, which wake_another_reader passes through.
    ready_count.store(ready.size(), std::memory_order_relaxed);
    const bool more = !ready.empty();
    std::optional<SpentBacklog> spent;
    if (!more && (ready_peak >= kTrimAfterBacklog || payload_buffers.returned_too_much())) {
        spent = collect();
    }
    reader.unlock();
    if (more && readers_waiting.load(std::memory_order_relaxed) > 0) wake_another_reader();
    if (spent) {
        spent.reset();  // freed here, with no lock held
        release_free_memory();
    }
    return front;
}

// Under reader_mtx, `ready` just drained after a long backlog or one of many bytes. Once the
// producer has nothing queued either, the backlog's queue storage and recycled buffers are let
// go; while it is still flooding, they are what it reuses, so they wait for the next time the
// reader catches up.
std::optional<InboundQueue::SpentBacklog> InboundQueue::collect() {
    std::unique_lock<std::mutex> lock(mtx, std::try_to_lock);
    if (!lock.owns_lock() || !incoming.empty()) return std::nullopt;
    ready_peak = 0;
    return SpentBacklog{std::exchange(ready, MessageBatch{}),
                        std::exchange(incoming, MessageBatch{}), payload_buffers.take_returned(),
                        payload_buffers.take_shared()};
}

// Messages are left in `ready` while another reader waits: let that one help drain them.
void InboundQueue::wake_another_reader() {
    { std::lock_guard<std::mutex> lock(mtx); }  // the waiter tests ready_count under mtx
    cv.notify_one();
}

void InboundQueue::give_back(std::string&& payload) {
    if (!PayloadBuffers::worth_keeping(payload.capacity())) return;  // nothing to keep: no lock
    std::unique_lock<std::mutex> reader(reader_mtx, std::try_to_lock);
    if (reader.owns_lock()) payload_buffers.give_back(std::move(payload));
}

}  // namespace corvane
