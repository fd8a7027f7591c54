#pragma once
// InboundQueue: the messages a connector received, in arrival order, until readers take them.
// One producer (the connector's run thread) and any number of readers, each message going to
// exactly one of them. It also knows whether a connection is live, which tells a reader on an
// empty queue whether to wait or to end.
//
// Locks. `mtx` guards what the producer touches: `incoming`, the stream's state, the waiting
// count, the watchers and the hand-over stage of the payload buffers. `reader_mtx` guards what
// readers share: `ready` and the returned buffers. Order: reader_mtx before mtx; the producer
// takes mtx only. No reader waits while it holds reader_mtx, so a reader is only ever held up by
// a swap or a pop. The bound's own lock is taken with neither held.
//
// It also counts what it carries (for stats()), and can bound itself (inbound_bound.hpp): above
// a limit of queued bytes the producer is told to stop reading its socket, and the reader that
// brings the queue below half the limit tells it to go on. Readers on an event loop watch a
// descriptor instead of waiting (inbound_watchers.hpp).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/inbound/inbound_bound.hpp"
#include "core/inbound/inbound_states.hpp"
#include "core/inbound/inbound_watchers.hpp"
#include "core/inbound/message_batch.hpp"
#include "core/inbound/payload_buffers.hpp"

namespace corvane {

class InboundQueue {
public:
    // ---- producer (run thread) ----

    // Appends one message or event without waking anyone; true when a reader waits for it, and
    // the caller must then call wake() (now, or once it has appended what else it has).
    bool push(InboundMessage&& message);
    // The same for every message of `batch`, in order, under one lock; `batch` is left empty.
    bool push_all(std::vector<InboundMessage>& batch);
    // Whether more is queued than the limit allows: the producer should stop reading.
    bool over_limit() const;
    // The producer has stopped reading: `resume` (any thread, under a lock; it must not block) is
    // called once, when a reader has brought the queue below half the limit. resumed() forgets
    // it (the producer reads again, or the connection has ended).
    // False, with nothing recorded, when readers have drained it below half meanwhile.
    bool pause(std::function<void()> resume);
    void resumed();
    // Reading on past the limit (see inbound_bound.hpp): whether `more` bytes still fit within
    // the limit and its margin; a paused producer reads on; the margin is full, reading stops
    // for good (false when it had already).
    bool fits(std::uint64_t more) const;
    bool lift() { return bound.lift(); }
    bool overrun() { return bound.overrun(); }
    BoundState bound_state() const { return bound.state_now(); }
    std::size_t limit_now() const { return bound.limit_now(); }
    std::size_t margin() const { return bound.margin(); }
    void wake() { cv.notify_one(); }
    // A connection is being opened or is open: readers on an empty queue wait for it.
    void open_stream();
    // The connection has ended: readers drain what is queued, then get "No more messages".
    void end_stream();
    bool live() const { return stream.load() == StreamState::open; }
    // Where the run thread's inbound payloads come from (see payload_buffers.hpp).
    PayloadBuffers& buffers() { return payload_buffers; }

    // ---- readers (any thread) ----

    // The oldest message. While the queue is empty and the stream live, waits at most
    // `max_wait` and returns nullopt if nothing came. Throws std::runtime_error("No more
    // messages") once the queue is empty and the stream has ended.
    std::optional<InboundMessage> take(std::chrono::milliseconds max_wait);
    // As take(0), but never blocks on a lock either: nullopt also when another thread holds
    // one. For callers that must not block (a thread holding the GIL).
    std::optional<InboundMessage> try_take();
    // How many readers wait in take() now, for nothing queued.
    int waiting_readers() const { return readers_waiting.load(std::memory_order_relaxed); }
    // Hands back the payload of a message taken earlier, so the run thread can reuse its buffer;
    // dropped instead when that would mean waiting for a lock.
    void give_back(std::string&& payload);

    // ---- any thread: counts, read without locks ----

    struct Counts {
        std::uint64_t queued_messages, queued_bytes, max_queued_bytes;
        std::uint64_t received_messages, received_bytes;
        std::int64_t last_receive_ns;
        bool paused;                // reading stopped by the bound
        bool past_bound;            // reading on past it
        std::uint64_t overruns;     // connections ended because its margin was full
    };
    Counts counts() const;
    // The most bytes queued before the producer stops reading; 0: unbounded.
    void limit_bytes(std::size_t bytes);

    // ---- the program's heartbeat (any thread) ----

    // How often readers have asked for a message (take, try_take, watch), or a reader waiting on
    // an event loop saw that loop run (loop_ran): what tells a connection that the program still
    // makes progress. A waiting reader alone does not count: its thread or loop may be frozen.
    std::uint64_t reads() const { return read_calls.load(std::memory_order_relaxed); }
    void loop_ran() { read_calls.fetch_add(1, std::memory_order_relaxed); }

    // ---- asynchronous readers (an event loop watching a file descriptor) ----

    // Registers `fd` (an eventfd) to be written once, when the next message arrives or the
    // stream ends; false, and nothing registered, when a message is queued or the stream has
    // ended already (take instead). The producer never waits for such a reader, nor takes the
    // GIL: it only writes the descriptor.
    bool watch(int fd);
    // Forgets `fd` if it is still registered; after this it is never written again.
    void unwatch(int fd);
    // The same without blocking: nullopt / false when another thread holds the lock.
    std::optional<bool> try_watch(int fd);
    bool try_unwatch(int fd);

private:
    std::optional<InboundMessage> take_incoming(std::unique_lock<std::mutex>& reader,
                                                std::unique_lock<std::mutex>& lock);
    std::uint64_t queued_bytes() const;
    void count_received(std::uint64_t messages, std::uint64_t bytes, std::int64_t last_ns);
    // Producer: `fill` appends to `incoming` under mtx; true when a reader waits.
    template <typename Fill>
    bool append(Fill fill);
    bool nothing_to_take() const;  // caller holds mtx
    void refill();                 // caller holds both locks and has found `incoming` non-empty
    InboundMessage pop_ready(std::unique_lock<std::mutex>& reader);
    void wake_another_reader();
    void count_read() {  // caller holds reader_mtx: no atomic read-modify-write needed
        read_calls.store(read_calls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    // What a drained backlog leaves behind, to be freed once no lock is held.
    struct SpentBacklog {
        MessageBatch ready, incoming;
        std::vector<std::string> returned, shared;
    };
    std::optional<SpentBacklog> collect();  // caller holds reader_mtx
    bool add_watcher(int fd);               // caller holds mtx
    void fire(StreamEvent event);           // caller holds mtx

    std::mutex mtx;
    std::condition_variable cv;
    MessageBatch incoming;                // guarded by mtx; newer than everything in `ready`
    // Written under mtx, so a waiter cannot miss a change.
    std::atomic<StreamState> stream{StreamState::closed};
    std::atomic<int> readers_waiting{0};  // written under mtx; lets push skip the futex
    std::size_t backlog_peak = 0;         // guarded by mtx: longest queue since the last swap
    InboundWatchers watchers;             // guarded by mtx

    // Readers take everything queued in one swap and then pop from `ready` without touching
    // mtx, so the run thread rarely finds mtx held.
    std::mutex reader_mtx;
    MessageBatch ready;                       // guarded by reader_mtx
    std::atomic<std::size_t> ready_count{0};  // ready.size(), readable by a waiting reader
    std::size_t ready_peak = 0;  // guarded by reader_mtx: longest backlog since caught up

    PayloadBuffers payload_buffers;  // stages guarded as payload_buffers.hpp says

    // Counts, each written by one side only (so: plain stores), on a cache line of its own.
    alignas(64) std::atomic<std::uint64_t> received_messages{0};  // producer
    std::atomic<std::uint64_t> received_bytes{0};
    std::atomic<std::int64_t> last_receive_ns{0};
    alignas(64) std::atomic<std::uint64_t> taken_messages{0};  // readers, under reader_mtx
    std::atomic<std::uint64_t> taken_bytes{0};
    std::atomic<std::uint64_t> max_queued{0};  // bytes; readers, under reader_mtx and mtx
    std::uint64_t peak_since_drained = 0;      // bytes; guarded by reader_mtx
    std::atomic<std::uint64_t> read_calls{0};  // readers; a plain increment under reader_mtx
    alignas(64) InboundBound bound;
};

}  // namespace corvane
