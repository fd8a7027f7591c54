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
    std::lock_guard<std::mutex> reader(reader_mtx);
    if (!ready.empty()) return pop_ready();
    {
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
        ready.swap(messages);  // `ready` was empty: the producer gets a fresh deque
        buffers.hand_over();
        ready_peak = std::max(backlog_peak, ready.size());
        backlog_peak = 0;
    }
    return pop_ready();
}

std::optional<InboundMessage> BaseExchangeConnector::pop_ready() {
    InboundMessage front = std::move(ready.front());
    ready.pop_front();
    if (ready.empty() && ready_peak >= kTrimAfterBacklog) {
        ready_peak = 0;
        release_free_memory();
    }
    return front;
}

void BaseExchangeConnector::give_back(std::string&& payload) {
    if (!PayloadBuffers::worth_keeping(payload.capacity())) return;  // small: no lock to pay
    std::lock_guard<std::mutex> reader(reader_mtx);
    buffers.give_back(std::move(payload));
}

bool BaseExchangeConnector::enqueue(std::string&& payload, bool binary, bool ascii) {
    std::lock_guard<std::mutex> lock(mtx);
    messages.push_back(InboundMessage{std::move(payload), binary, ascii});
    buffers.restock();
    backlog_peak = std::max(backlog_peak, messages.size());
    // A reader registers itself under mtx before it waits, so a wake-up sent after this
    // returns cannot miss it, and it never lands on a mutex still held here.
    return readers_waiting > 0;
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
