#include "core/base_connector.hpp"

#include <algorithm>
#include <stdexcept>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace corvane {
namespace {

// A backlog this long has spread its payloads over many heap pages; once it is drained those
// pages go back to the system instead of staying with the process.
constexpr std::size_t kTrimAfterBacklog = 65536;

void release_free_memory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

}  // namespace

void BaseExchangeConnector::require_params(const ParamMap& params,
                                           const std::vector<std::string>& required) const {
    for (const auto& key : required) {
        if (params.find(key) == params.end()) {
            throw std::invalid_argument("Missing required parameter: " + key);
        }
    }
}

std::optional<InboundMessage> BaseExchangeConnector::take(std::chrono::milliseconds max_wait) {
    std::unique_lock<std::mutex> lock(mtx);
    if (messages.empty()) {
        if (!live.load()) throw std::runtime_error("No more messages");
        if (max_wait.count() <= 0) return std::nullopt;
        ++readers_waiting;
        cv.wait_for(lock, max_wait, [this] { return !messages.empty() || !live.load(); });
        --readers_waiting;
        if (messages.empty()) {
            if (!live.load()) throw std::runtime_error("No more messages");
            return std::nullopt;
        }
    }
    InboundMessage front = std::move(messages.front());
    messages.pop_front();
    const bool drained_backlog = messages.empty() && backlog_peak >= kTrimAfterBacklog;
    if (drained_backlog) backlog_peak = 0;
    lock.unlock();
    if (drained_backlog) release_free_memory();
    return front;
}

void BaseExchangeConnector::push_message(std::string&& payload, bool binary) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mtx);
        messages.push_back(InboundMessage{std::move(payload), binary});
        backlog_peak = std::max(backlog_peak, messages.size());
        wake = readers_waiting > 0;
    }
    // A reader registers itself under mtx before it waits, so notifying after the unlock
    // cannot miss it, and a wake-up never lands on a mutex we still hold.
    if (wake) cv.notify_one();
}

void BaseExchangeConnector::begin_stream() {
    std::lock_guard<std::mutex> lock(mtx);
    live.store(true);
}

void BaseExchangeConnector::end_stream() {
    {
        std::lock_guard<std::mutex> lock(mtx);
        live.store(false);
    }
    cv.notify_all();
}

}  // namespace corvane
