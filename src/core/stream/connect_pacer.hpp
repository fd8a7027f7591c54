#pragma once
// ConnectPacer: at most `per_second` new connections to one exchange per second from this
// process (OKX allows 3 per second per IP). A connection reserves a start time; the caller
// waits until then (a Python thread by sleeping, a run thread on a timer). Any thread; one
// lock, innermost, held for no waiting.

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>

namespace corvane {

class ConnectPacer {
public:
    using Clock = std::chrono::steady_clock;

    explicit ConnectPacer(std::size_t per_second) : per_second(per_second) {}

    // The earliest time, now or later, at which one more connection keeps within the limit;
    // it is counted from then on.
    Clock::time_point reserve();

private:
    const std::size_t per_second;
    std::mutex mtx;
    std::deque<Clock::time_point> starts;  // guarded by mtx: the last `per_second` reserved
};

}  // namespace corvane
