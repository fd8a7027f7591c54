#pragma once
// How a connection is kept alive, and when silence means it is dead: one mechanism with two
// strategies, ping when idle (OKX) or ping periodically (MEXC), beside two watchdogs: one closes
// a connection silent for too long, the other one that sends nothing within a time-out of a
// ping (any message answers it). KeepAliveSchedule decides, one timer tick at a time, what is
// due. It only counts arrivals, so the message path pays one increment per message and no clock
// read.

#include <chrono>
#include <cstdint>
#include <string>

namespace corvane {

struct KeepAlive {
    enum class Ping { never, when_idle, periodically };

    Ping ping = Ping::never;
    // when_idle: the silence after which a ping is sent (once, until something arrives);
    // periodically: the time between pings, the first sent as the connection opens.
    std::chrono::milliseconds interval{0};
    std::chrono::milliseconds dead_after{0};  // silence that ends the connection; 0: never
    // Silence after a ping (the first of the silence) that ends the connection; 0: never.
    std::chrono::milliseconds ping_timeout{0};
    std::string ping_text;                    // sent as a text frame
    std::string pong_text;  // the answer, consumed instead of queued; empty: answers are queued
    std::string ping_line;  // printed on standard output before each ping; empty: nothing
};

class KeepAliveSchedule {
public:
    // close: silent for dead_after; unanswered: nothing came within ping_timeout of a ping.
    enum class Action { none, ping, close, unanswered };

    explicit KeepAliveSchedule(const KeepAlive& policy);

    bool enabled() const;
    // Timer period: fine enough that each limit is met within 4% of its value.
    std::chrono::milliseconds tick() const;
    // A connection has opened with `arrivals` messages counted so far; true when the strategy
    // starts it with a ping.
    bool start(std::uint64_t arrivals);
    // One tick has passed; `arrivals` is the count of messages received so far. While `paused`
    // (the connection does not read, by choice) silence still brings pings but never the close.
    Action on_tick(std::uint64_t arrivals, bool paused = false);

private:
    Action ping_due();

    KeepAlive::Ping ping;
    std::chrono::milliseconds interval;
    std::chrono::milliseconds dead_after;
    std::chrono::milliseconds ping_timeout;
    std::uint64_t arrivals_seen = 0;
    std::chrono::milliseconds silent_for{0};
    std::chrono::milliseconds dead_silence{0};  // silent_for, but for the time not paused
    std::chrono::milliseconds since_ping{0};
    bool pinged = false;  // a ping went out in this silence
    std::chrono::milliseconds unanswered{0};  // since its first ping, but for the time paused
};

}  // namespace corvane
