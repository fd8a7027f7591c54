#pragma once
// PayloadBuffers: large message buffers that readers hand back once they have made a Python
// object of them, reused by the run thread for the next inbound messages. A steady stream of
// big messages then keeps a few warm buffers, instead of each message taking fresh heap pages
// that the allocator trimmed away (and the kernel must fault in again).
//
// A buffer moves reader -> `returned` -> `shared` -> `local` -> run thread. Each stage is
// guarded by a lock its users already hold: the connector's reader_mtx, then its mtx; `local`
// belongs to the run thread alone.

#include <cstddef>
#include <string>
#include <vector>

namespace corvane {

class PayloadBuffers {
public:
    static constexpr std::size_t kMinSize = 1024;           // smaller ones allocate cheaply
    static constexpr std::size_t kMaxCapacity = 64 * 1024;  // larger ones are not kept
    static constexpr std::size_t kMaxKept = 16;             // per stage: at most 3 MiB held

    // Whether a buffer of this capacity is kept for reuse.
    static bool worth_keeping(std::size_t capacity) {
        return capacity >= kMinSize && capacity <= kMaxCapacity;
    }
    // Reader, under reader_mtx: keeps `buffer` if it is worth reusing and there is room.
    void give_back(std::string&& buffer);
    // Reader, under reader_mtx and mtx: passes what was given back towards the run thread.
    void hand_over();
    // Run thread, under mtx: restocks its own list when that has run dry.
    void restock();
    // Run thread: an empty buffer with room for `size` bytes, a reused one when it can.
    std::string take(std::size_t size);

    // The run thread's buffers while it runs (null elsewhere), for the message allocator.
    static PayloadBuffers*& current();

private:
    std::vector<std::string> returned;
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
