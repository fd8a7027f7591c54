#include "core/book/snapshot_pacer.hpp"

#include <algorithm>

namespace corvane::book {

Millis SnapshotPacer::next_request(Millis now) {
    Millis gap = limits.min_interval;
    for (int i = 1; i < unsynced_requests && gap < limits.max_backoff; ++i)
        gap *= 2;
    gap = std::max(limits.min_interval, std::min(gap, limits.max_backoff));
    const Millis at = last ? std::max(now, *last + gap) : now;
    last = at;
    ++unsynced_requests;
    return at - now;
}

}  // namespace corvane::book
