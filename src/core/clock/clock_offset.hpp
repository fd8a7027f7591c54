#pragma once
// ClockOffset: how far an exchange's clock is ahead of this machine's (negative: behind), as
// last measured, so that every timestamp a connector signs is the exchange's time. Measured on
// a Python thread at a private connect and on the run thread after; read by any thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

class ClockOffset {
public:
    using Clock = std::chrono::system_clock;

    // This machine's time corrected by the offset (uncorrected before the first measurement).
    Clock::time_point now() const {
        return Clock::now() + std::chrono::milliseconds(offset_ms.load(std::memory_order_relaxed));
    }
    std::int64_t now_ms() const;
    // nullopt until measured.
    std::optional<std::int64_t> offset() const;
    // True for the first caller only: a connector's signed REST calls measure the clock once
    // if no connect has.
    bool claim_first() { return !claimed.exchange(true); }

    // The exchange said `server_ms` (Unix milliseconds) to a request sent at `sent` and
    // answered at `received`: its clock read that at about the midpoint.
    void measured(std::int64_t server_ms, Clock::time_point sent, Clock::time_point received);

private:
    std::atomic<std::int64_t> offset_ms{0};
    std::atomic<bool> known{false};
    std::atomic<bool> claimed{false};
};

// The server time in a time reply: OKX's {"data":[{"ts":"1597026383085"}]} or MEXC's
// {"serverTime":1645539742000}; std::runtime_error saying why not.
std::int64_t server_time_in(const std::string& body);

}  // namespace corvane
