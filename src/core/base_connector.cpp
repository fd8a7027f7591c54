#include "core/base_connector.hpp"

#include <algorithm>
#include <stdexcept>

namespace corvane {
namespace {

// A wait longer than this marks the stream quiet (a busy stream's waits are tens of
// microseconds; at a few thousand messages a second they are hundreds).
constexpr std::chrono::microseconds kQuietWait{200};

}  // namespace

std::optional<InboundMessage> BaseExchangeConnector::take(std::chrono::milliseconds max_wait) {
    if (max_wait.count() <= 0) return inbound.take(max_wait);
    if (auto message = inbound.try_take()) return message;
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + max_wait;
    if (is_quiet()) serve_while_waiting(deadline);
    auto message = inbound.take(std::chrono::duration_cast<std::chrono::milliseconds>(std::max(
        deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero())));
    if (message) note_wait(std::chrono::steady_clock::now() - start);
    return message;
}

void BaseExchangeConnector::note_wait(std::chrono::steady_clock::duration waited) {
    const int before = long_waits.load(std::memory_order_relaxed);
    long_waits.store(waited > kQuietWait ? std::min(before + 1, 4) : 0, std::memory_order_relaxed);
}

void BaseExchangeConnector::require_params(const ParamMap& params,
                                           const std::vector<std::string>& required) const {
    for (const auto& key : required) {
        if (params.find(key) == params.end()) {
            throw std::invalid_argument("Missing required parameter: " + key);
        }
    }
}

}  // namespace corvane
