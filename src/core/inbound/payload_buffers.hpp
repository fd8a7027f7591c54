#pragma once
// PayloadBuffers: message buffers that readers hand back once they have made a Python object of
// them, reused by the run thread for the next inbound messages. A payload's heap traffic then
// stays on the run thread: a reader freeing, message after message, what the run thread has just
// allocated makes both threads contend for the allocator's arena lock (a futex call on most
// messages of a flood). Big messages keep a few warm buffers instead of taking fresh heap pages
// that the allocator trimmed away.
//
// A buffer moves reader -> `returned` -> `shared` -> `local` -> run thread. Each stage is
// guarded by a lock its users already hold: the connector's reader_mtx, then its mtx; `local`
// belongs to the run thread alone. What circulates is bounded by the backlog the buffers came
// from; the run thread frees what it holds beyond kKeptBytes, a reader the rest once it has
// caught up with a long backlog.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace corvane {

class PayloadBuffers {
public:
    static constexpr std::size_t kMaxCapacity = 64 * 1024;  // larger ones are not kept
    static constexpr std::size_t kKeptBytes = 256 * 1024;   // kept by the run thread
    static constexpr std::size_t kRestBytes = 16 << 20;     // given back, before a reader frees

    // Whether a buffer of this capacity is kept for reuse: one on the heap, not too large.
    static bool worth_keeping(std::size_t capacity) {
        return capacity > std::string().capacity() && capacity <= kMaxCapacity;
    }
    // Reader, under reader_mtx: keeps `buffer` if it is worth reusing.
    void give_back(std::string&& buffer);
    // Reader, under reader_mtx and mtx: passes what was given back towards the run thread.
    void hand_over();
    // Reader, under reader_mtx: whether what it has given back since the last hand-over is
    // more than should stay at rest.
    bool returned_too_much() const { return returned_bytes > kRestBytes; }
    // Reader, under both locks, once it has caught up with a long backlog: what is not in use.
    std::vector<std::string> take_returned();
    std::vector<std::string> take_shared() { return std::exchange(shared, {}); }
    // Run thread, under mtx: restocks its own list when that has run dry; true if it did.
    bool restock();
    // Run thread, no lock: frees what its own list holds beyond kKeptBytes.
    void trim_local();
    // Run thread: an empty buffer with room for `size` bytes, a reused one when it can.
    std::string take(std::size_t size);

    // The run thread's buffers while it runs (null elsewhere), for the message allocator.
    static PayloadBuffers*& current();

private:
    std::vector<std::string> returned;
    std::size_t returned_bytes = 0;  // their capacities
    std::vector<std::string> shared;
    std::vector<std::string> local;
};

// Makes `buffers` the run thread's current buffers for the scope.
class ScopedPayloadBuffers {
public:
    explicit ScopedPayloadBuffers(PayloadBuffers& buffers) { PayloadBuffers::current() = &buffers; }
    ~ScopedPayloadBuffers() { PayloadBuffers::current() = nullptr; }
    ScopedPayloadBuffers(const ScopedPayloadBuffers&) = delete;
    ScopedPayloadBuffers& operator=(const ScopedPayloadBuffers&) = delete;
};

}  // namespace corvane
