#pragma once
// SilenceTracker: decides, one timer tick at a time, when a quiet connection gets a keep-alive
// ping and when it is taken as dead. It only counts arrivals, so the message path pays one
// increment per message and no clock read.

#include <chrono>
#include <cstdint>

namespace corvane {

struct SilencePolicy {
    std::chrono::milliseconds ping_after{0};  // silence before a ping; 0 never pings
    std::chrono::milliseconds dead_after{0};  // silence before the connection is closed; 0 never
};

class SilenceTracker {
public:
    enum class Action { none, ping, close };

    explicit SilenceTracker(SilencePolicy policy);

    bool enabled() const;
    // Timer period: fine enough that each limit is met within 4% of its value.
    std::chrono::milliseconds tick() const;
    // Starts a new connection: nothing heard yet, no ping sent.
    void reset(std::uint64_t arrivals);
    // One tick has passed; `arrivals` is the count of messages received so far.
    Action on_tick(std::uint64_t arrivals);

private:
    SilencePolicy policy;
    std::uint64_t arrivals_seen = 0;
    std::chrono::milliseconds silent_for{0};
    bool pinged = false;
};

}  // namespace corvane
