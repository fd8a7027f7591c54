#include "core/inbound/inbound_queue.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace corvane {
namespace {

// A backlog this long, or this large, has spread its payloads over many heap pages; once the
// reader has caught up those pages go back to the system instead of staying with the process.
constexpr std::size_t kTrimAfterBacklog = 65536;
constexpr std::uint64_t kTrimAfterBytes = 64 << 20;

// Only one thread writes such a counter: a load and a store, no read-modify-write.
template <typename T>
void add(std::atomic<T>& counter, T amount) {
    counter.store(counter.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
}

void raise_to(std::atomic<std::uint64_t>& high_water, std::uint64_t value) {
    std::uint64_t seen = high_water.load(std::memory_order_relaxed);
    while (value > seen && !high_water.compare_exchange_weak(seen, value)) {
    }
}

void release_free_memory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

}  // namespace

bool InboundQueue::push(InboundMessage&& message) {
    count_received(message.kind == InboundMessage::Kind::message ? 1 : 0, message.payload.size(),
                   message.recv_ns);
    return append([&](MessageBatch& into) { into.push_back(std::move(message)); });
}

bool InboundQueue::push_all(std::vector<InboundMessage>& batch) {
    std::uint64_t messages = 0;
    std::uint64_t bytes = 0;
    std::int64_t last_ns = 0;
    for (const InboundMessage& message : batch) {
        if (message.kind != InboundMessage::Kind::message) continue;
        ++messages;
        bytes += message.payload.size();
        last_ns = message.recv_ns;
    }
    count_received(messages, bytes, last_ns);
    const bool reader_waits = append([&](MessageBatch& into) {
        for (InboundMessage& message : batch)
            into.push_back(std::move(message));
    });
    batch.clear();
    return reader_waits;
}

void InboundQueue::count_received(std::uint64_t messages, std::uint64_t bytes,
                                  std::int64_t last_ns) {
    if (messages == 0) return;
    add(received_messages, messages);
    add(received_bytes, bytes);
    last_receive_ns.store(last_ns, std::memory_order_relaxed);
}

template <typename Fill>
bool InboundQueue::append(Fill fill) {
    bool restocked = false;
    bool reader_waits = false;
    {
        std::lock_guard<std::mutex> lock(mtx);
        fill(incoming);
        restocked = payload_buffers.restock();
        backlog_peak = std::max(backlog_peak, incoming.size());
        if (!watchers.empty()) watchers.signal();
        // A reader registers itself under mtx before it waits, so a wake-up sent after this
        // returns cannot miss it, and it never lands on a mutex still held here.
        reader_waits = readers_waiting.load(std::memory_order_relaxed) > 0;
    }
    if (restocked) payload_buffers.trim_local();  // the run thread's own: no lock held
    return reader_waits;
}

std::uint64_t InboundQueue::queued_bytes() const {
    // Taken first: what was taken never exceeds what had been received before it.
    const std::uint64_t taken = taken_bytes.load(std::memory_order_acquire);
    const std::uint64_t received = received_bytes.load(std::memory_order_acquire);
    return received > taken ? received - taken : 0;
}

bool InboundQueue::over_limit() const {
    return bound.over([this] { return queued_bytes(); });
}

bool InboundQueue::pause(std::function<void()> resume) {
    return bound.pause([this] { return queued_bytes(); }, std::move(resume));
}

void InboundQueue::resumed() {
    bound.resumed();
}

bool InboundQueue::fits(std::uint64_t more) const {
    return bound.fits([this] { return queued_bytes(); }, more);
}

void InboundQueue::limit_bytes(std::size_t bytes) {
    bound.limit_bytes(bytes);
    // A higher limit, or none, may release a paused connection at once.
    bound.release_if_drained([this] { return queued_bytes(); });
}

InboundQueue::Counts InboundQueue::counts() const {
    const std::uint64_t taken = taken_messages.load(std::memory_order_acquire);
    const std::uint64_t received = received_messages.load(std::memory_order_acquire);
    const std::uint64_t queued = queued_bytes();
    return Counts{received > taken ? received - taken : 0,
                  queued,
                  std::max(max_queued.load(std::memory_order_relaxed), queued),
                  received,
                  received_bytes.load(std::memory_order_relaxed),
                  last_receive_ns.load(std::memory_order_relaxed),
                  bound.paused(),
                  bound.lifted(),
                  bound.overruns()};
}

void InboundQueue::open_stream() {
    std::lock_guard<std::mutex> lock(mtx);
    fire(StreamEvent::open);
}

void InboundQueue::end_stream() {
    {
        std::lock_guard<std::mutex> lock(mtx);
        fire(StreamEvent::end);
        watchers.signal();
    }
    cv.notify_all();
}

void InboundQueue::fire(StreamEvent event) {
    if (const auto next = stream_transition(stream.load(std::memory_order_relaxed), event))
        stream.store(*next);
}

bool InboundQueue::nothing_to_take() const {
    return incoming.empty() && ready_count.load(std::memory_order_relaxed) == 0 && live();
}

bool InboundQueue::watch(int fd) {
    read_calls.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(mtx);
    return add_watcher(fd);
}

std::optional<bool> InboundQueue::try_watch(int fd) {
    std::unique_lock<std::mutex> lock(mtx, std::try_to_lock);
    if (!lock.owns_lock()) return std::nullopt;
    read_calls.fetch_add(1, std::memory_order_relaxed);
    return add_watcher(fd);
}

bool InboundQueue::add_watcher(int fd) {
    if (!nothing_to_take()) return false;
    watchers.add(fd);
    return true;
}

void InboundQueue::unwatch(int fd) {
    std::lock_guard<std::mutex> lock(mtx);
    watchers.remove(fd);
}

bool InboundQueue::try_unwatch(int fd) {
    std::unique_lock<std::mutex> lock(mtx, std::try_to_lock);
    if (lock.owns_lock()) watchers.remove(fd);
    return lock.owns_lock();
}

std::optional<InboundMessage> InboundQueue::take(std::chrono::milliseconds max_wait) {
    const auto deadline = std::chrono::steady_clock::now() + max_wait;
    for (;;) {
        std::unique_lock<std::mutex> reader(reader_mtx);
        count_read();
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
    count_read();
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
    if (!live()) throw std::runtime_error("No more messages");
    return std::nullopt;
}

void InboundQueue::refill() {
    incoming.hand_to(ready);  // `ready` was empty: the producer goes on with its storage
    ready_count.store(ready.size(), std::memory_order_relaxed);
    payload_buffers.hand_over();
    ready_peak = std::max({ready_peak, backlog_peak, ready.size()});
    backlog_peak = 0;
    const std::uint64_t queued = queued_bytes();  // all of it is in `ready` now: a high water
    raise_to(max_queued, queued);
    peak_since_drained = std::max(peak_since_drained, queued);
}

InboundMessage InboundQueue::pop_ready(std::unique_lock<std::mutex>& reader) {
    InboundMessage front = ready.pop_front();
    if (front.kind == InboundMessage::Kind::message) {
        add(taken_messages, std::uint64_t{1});
        taken_bytes.store(taken_bytes.load(std::memory_order_relaxed) + front.payload.size(),
                          std::memory_order_release);
    }
    // Relaxed: a waiting reader reads it under mtx, which wake_another_reader passes through.
    ready_count.store(ready.size(), std::memory_order_relaxed);
    const bool more = !ready.empty();
    std::optional<SpentBacklog> spent;
    if (!more && (ready_peak >= kTrimAfterBacklog || peak_since_drained >= kTrimAfterBytes ||
                  payload_buffers.returned_too_much())) {
        spent = collect();
    }
    reader.unlock();
    bound.release_if_drained([this] { return queued_bytes(); });
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
    peak_since_drained = 0;
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
