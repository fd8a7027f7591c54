#pragma once
// InboundBound: the limit on the bytes an inbound queue holds, and whether its producer has
// stopped reading because of it. Above the limit the producer pauses with a resume callback;
// the reader that brings the queue below half the limit calls it, once. The queue's byte count
// is the caller's, passed as a function that reads it without a lock.
//
// Threads: any. Its own mutex (innermost) guards the callback and orders the state's changes;
// the limit and the state are read without it.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>

#include "core/inbound/inbound_states.hpp"

namespace corvane {

class InboundBound {
public:
    // 0: unbounded.
    void limit_bytes(std::size_t bytes) { limit.store(bytes, std::memory_order_relaxed); }

    // Whether `queued()` is more than the limit allows: the producer should stop reading.
    template <typename Queued>
    bool over(Queued queued) const {
        const std::size_t bound = limit.load(std::memory_order_relaxed);
        return bound > 0 && queued() > bound;
    }

    // The producer has stopped reading: `resume` (it must not block) is called once, when a
    // reader has brought `queued()` below half the limit. False, nothing recorded, when it is
    // below half already (readers drained it meanwhile, and none would come back to resume).
    template <typename Queued>
    bool pause(Queued queued, std::function<void()> resume) {
        std::lock_guard<std::mutex> lock(mtx);
        const std::size_t bound = limit.load(std::memory_order_relaxed);
        if (bound == 0 || queued() * 2 < bound) return false;
        resume_hook = std::move(resume);
        fire(BoundEvent::pause);
        return true;
    }

    // The producer reads again, or its connection has ended: the callback is forgotten.
    void resumed();

    // A reader (no queue lock held): calls the callback if paused and `queued()` is below half.
    template <typename Queued>
    void release_if_drained(Queued queued) {
        if (state.load(std::memory_order_relaxed) != BoundState::paused) return;
        const std::size_t bound = limit.load(std::memory_order_relaxed);
        if (bound > 0 && queued() * 2 >= bound) return;
        std::lock_guard<std::mutex> lock(mtx);
        if (resume_hook) std::exchange(resume_hook, nullptr)();
    }

    bool paused() const { return state.load(std::memory_order_relaxed) == BoundState::paused; }

private:
    void fire(BoundEvent event);  // caller holds mtx

    std::mutex mtx;
    std::atomic<std::size_t> limit{0};
    std::atomic<BoundState> state{BoundState::reading};  // written under mtx
    std::function<void()> resume_hook;                   // guarded by mtx
};

}  // namespace corvane
