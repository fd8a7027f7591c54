#pragma once
// InboundBound: the limit on the bytes an inbound queue holds, and whether its producer has
// stopped reading because of it. Above the limit the producer pauses with a resume callback;
// the reader that brings the queue below half the limit calls it, once. A paused producer may
// be lifted (it reads on past the limit), but never past a fixed margin: the limit again, at
// least 16 MiB. What would not fit is an overrun: the producer stops reading for good, until
// its connection has ended. The queue's byte count is the caller's, passed as a function that
// reads it without a lock.
//
// Threads: any. Its own mutex (innermost) guards the callback and orders the state's changes;
// the limit and the state are read without it.

#include <algorithm>
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

    // How far past the limit reading on may go; 0 when unbounded.
    std::size_t margin() const { return margin_for(limit.load(std::memory_order_relaxed)); }

    // Whether `more` bytes still fit within the limit and its margin.
    template <typename Queued>
    bool fits(Queued queued, std::uint64_t more) const {
        const std::size_t bound = limit.load(std::memory_order_relaxed);
        return bound == 0 || queued() + more <= std::uint64_t{bound} + margin_for(bound);
    }

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
        if (bound == 0 || !fire(BoundEvent::pause)) return false;
        // Paused first, then counted: a reader that drains the queue meanwhile is either counted
        // here or sees the pause (a fence on each side), so no resume is lost between the two.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (queued() * 2 < bound) {
            fire(BoundEvent::resume);
            return false;
        }
        resume_hook = std::move(resume);
        return true;
    }

    // The producer reads again, or its connection has ended: the callback is forgotten.
    void resumed();
    // A paused producer reads on past the limit; the resume callback still comes below half.
    // False when it was not paused.
    bool lift();
    // The margin is full: the producer stops reading for good and the callback is forgotten.
    // False when that happened already (until resumed()).
    bool overrun();

    // A reader (no queue lock held): calls the callback if paused and `queued()` is below half.
    template <typename Queued>
    void release_if_drained(Queued queued) {
        std::atomic_thread_fence(std::memory_order_seq_cst);  // drained, then the state: see pause
        const BoundState now = state.load(std::memory_order_relaxed);
        if (now != BoundState::paused && now != BoundState::lifted) return;
        const std::size_t bound = limit.load(std::memory_order_relaxed);
        if (bound > 0 && queued() * 2 >= bound) return;
        std::lock_guard<std::mutex> lock(mtx);
        if (resume_hook) std::exchange(resume_hook, nullptr)();
    }

    // Reading has stopped: for the reader to catch up, or for good.
    bool paused() const {
        const BoundState now = state.load(std::memory_order_relaxed);
        return now == BoundState::paused || now == BoundState::overrun;
    }
    bool lifted() const { return state.load(std::memory_order_relaxed) == BoundState::lifted; }
    BoundState state_now() const { return state.load(std::memory_order_relaxed); }
    std::size_t limit_now() const { return limit.load(std::memory_order_relaxed); }
    // Connections ended because the margin was full, since this bound was made.
    std::uint64_t overruns() const { return overrun_count.load(std::memory_order_relaxed); }

private:
    static constexpr std::size_t kMinMargin = std::size_t{16} << 20;
    static std::size_t margin_for(std::size_t bound) {
        return bound == 0 ? 0 : std::max(bound, kMinMargin);
    }
    bool fire(BoundEvent event);  // caller holds mtx; whether the state changed

    std::mutex mtx;
    std::atomic<std::size_t> limit{0};
    std::atomic<BoundState> state{BoundState::reading};  // written under mtx
    std::function<void()> resume_hook;                   // guarded by mtx
    std::atomic<std::uint64_t> overrun_count{0};         // written under mtx
};

}  // namespace corvane
