#pragma once
// ClockOffset: how far an exchange's clock is ahead of this machine's (negative: behind), as
// last measured, so that every timestamp a connector signs is the exchange's time. Measured on
// a Python thread at a private connect and on the run thread after; read by any thread.
//
// A time endpoint is believed only within reason: a server time outside 2020-2100 is refused
// and the last good offset kept. Of the samples taken, the one with the smallest round trip is
// kept (the least left to guess of when the server read its clock), unless a newer one
// contradicts it (the clock was stepped), it is half an hour old, or the exchange has since
// refused a timestamp.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace corvane {

// Whether `server_ms` (Unix milliseconds) can be an exchange's clock: 2020 to 2100.
bool plausible_server_time(std::int64_t server_ms);

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
    // answered at `received`: its clock read that at about the midpoint. False, and nothing
    // changed, for an implausible time or a round trip that ran backwards.
    bool measured(std::int64_t server_ms, Clock::time_point sent, Clock::time_point received);

    // The exchange refused a timestamp: the next measurement counts whatever its round trip,
    // and the next signed call that measures once measures again.
    void distrust();

private:
    struct Sample {
        std::int64_t offset_ms;
        std::int64_t round_trip_ms;
        Clock::time_point received;
    };
    bool replaces_kept(const Sample& sample) const;  // mtx held

    std::atomic<std::int64_t> offset_ms{0};
    std::atomic<bool> known{false};
    std::atomic<bool> claimed{false};
    std::mutex mtx;
    std::optional<Sample> kept;  // guarded by mtx; none after distrust()
};

// The server time in a time reply: OKX's {"data":[{"ts":"1597026383085"}]} or MEXC's
// {"serverTime":1645539742000}; std::runtime_error saying why not.
std::int64_t server_time_in(const std::string& body);

}  // namespace corvane
