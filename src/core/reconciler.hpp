#pragma once
// Reconciler: while two connections of one stream overlap (a switch-over), both receive the
// same pushes. It passes every message once: a payload that arrives byte for byte on one
// connection after it came on the other is dropped, one copy for one copy, so that a payload a
// connection legitimately repeats is not swallowed. Messages that differ between connections
// (acknowledgements with a connection id) pass from both.
//
// Payloads are matched by a 64-bit hash with their size and frame kind. A copy waits for its twin
// while the connections overlap and for `window` after, and at most `capacity` copies wait at
// once (the oldest go first).
// Owned by the stream's run thread; no lock.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <vector>

#include "core/message_batch.hpp"

namespace corvane {

class Reconciler {
public:
    using Clock = std::chrono::steady_clock;

    explicit Reconciler(Clock::duration window = std::chrono::seconds(5),
                        std::size_t capacity = std::size_t{1} << 18);

    // Connections open: messages are matched while `count` > 1, and for `window` after.
    void set_links(std::size_t count);
    bool active() const { return links > 1 || !waiting.empty(); }
    // Drops from `batch` (messages of connection `link`, in order) each one a copy of which
    // came on another connection; keeps the order of the rest.
    void filter(std::uint32_t link, std::vector<InboundMessage>& batch, Clock::time_point now);

private:
    struct Copy {
        Clock::time_point at;
        std::uint64_t key;
        std::uint32_t link;
    };
    // True when the message is a twin of a copy from another connection (which is then used up).
    bool is_twin(std::uint32_t link, const InboundMessage& message, Clock::time_point now);
    void expire(Clock::time_point now);
    void forget(const Copy& copy);

    const Clock::duration window;
    const std::size_t capacity;
    std::size_t links = 1;
    std::unordered_multimap<std::uint64_t, std::uint32_t> unmatched;  // key → connection
    std::deque<Copy> waiting;  // in arrival order, for expiry
};

}  // namespace corvane
