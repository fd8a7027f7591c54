#pragma once
// SnapshotPacer: when one book may next ask for its REST snapshot. Requests from a book are at
// least `min_interval` apart (the exchange's REST limit spread over its window), and each request
// made before the book syncs again waits twice as long as the one before, up to `max_backoff`, so
// a snapshot that keeps failing or never lines up costs a bounded, falling rate. Owned by its
// BookSync; times are the caller's steady clock in ms.

#include <chrono>
#include <optional>

namespace corvane::book {

using Millis = std::chrono::milliseconds;

struct PacerLimits {
    Millis min_interval{50};
    Millis max_backoff{10000};
};

class SnapshotPacer {
public:
    explicit SnapshotPacer(PacerLimits limits) : limits(limits) {}

    // How long from `now` the next request must wait; the request counts as made then.
    Millis next_request(Millis now);
    // The book synced: the back-off starts again.
    void synced() { unsynced_requests = 0; }

private:
    const PacerLimits limits;
    std::optional<Millis> last;  // when the last request went (or goes)
    int unsynced_requests = 0;   // requests since the book was last synced
};

}  // namespace corvane::book
