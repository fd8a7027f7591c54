#include "core/stream/connect_pacer.hpp"

#include <algorithm>

namespace corvane {

ConnectPacer::Clock::time_point ConnectPacer::reserve() {
    std::lock_guard<std::mutex> lock(mtx);
    Clock::time_point at = Clock::now();
    // The one `per_second` places back must be a second old by then.
    if (starts.size() >= per_second) at = std::max(at, starts.front() + std::chrono::seconds(1));
    starts.push_back(at);
    while (starts.size() > per_second)
        starts.pop_front();
    return at;
}

}  // namespace corvane
