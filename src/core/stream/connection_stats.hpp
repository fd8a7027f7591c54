#pragma once
// ConnectionStats: what a connector counts of its connections, beside what its inbound queue
// counts (together: stats()). Run threads write it; any thread reads it without holding up a
// connection (atomics, and a lock of its own around the last error only).

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace corvane {

class ConnectionStats {
public:
    std::atomic<std::uint32_t> attempts{0};  // connections begun, the current one's number
    std::atomic<std::uint64_t> opened{0};
    std::atomic<std::uint64_t> pings_sent{0};
    std::atomic<std::uint64_t> gaps{0};  // breaks in the exchanges' own sequences

    void set_last_error(std::string text) {
        std::lock_guard<std::mutex> lock(mtx);
        error = std::move(text);
    }
    std::optional<std::string> last_error() const {
        std::lock_guard<std::mutex> lock(mtx);
        return error;
    }

private:
    mutable std::mutex mtx;
    std::optional<std::string> error;  // guarded by mtx
};

}  // namespace corvane
