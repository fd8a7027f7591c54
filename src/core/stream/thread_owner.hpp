#pragma once
// ThreadOwner: the one thread that runs a connection's handlers, timers and exchange handler.
// The run thread claims it as the loop starts; every handler checks it in debug and sanitizer
// builds (CORVANE_CHECK_THREADS), so that a handler run off its thread stops the program at
// once instead of racing; release builds compile the check out.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace corvane {

class ThreadOwner {
public:
    void claim() { owner.store(std::this_thread::get_id(), std::memory_order_relaxed); }
    void check(const char* where) const {
        if (std::this_thread::get_id() == owner.load(std::memory_order_relaxed)) return;
        std::fprintf(stderr, "corvane: %s ran off its connection's thread\n", where);
        std::abort();
    }

private:
    // Atomic only so that a check on a wrong thread reports instead of racing.
    std::atomic<std::thread::id> owner{};
};

#if !defined(NDEBUG) || defined(CORVANE_CHECK_THREADS)
#define CORVANE_ON_RUN_THREAD(owner) (owner).check(__func__)
#else
#define CORVANE_ON_RUN_THREAD(owner) ((void)0)
#endif

}  // namespace corvane
