#include "core/reconciler.hpp"

#include <algorithm>
#include <functional>
#include <string_view>

namespace corvane {
namespace {

std::uint64_t key_of(const InboundMessage& message) {
    const std::uint64_t hash = std::hash<std::string_view>()(message.payload);
    // The size and the frame kind as well: two payloads differing in either never match.
    const std::uint64_t shape = (message.payload.size() << 1) | (message.binary ? 1u : 0u);
    return hash ^ (shape * 0x9e3779b97f4a7c15ULL);
}

}  // namespace

Reconciler::Reconciler(Clock::duration window, std::size_t capacity)
    : window(window), capacity(capacity) {}

void Reconciler::set_links(std::size_t count) {
    links = count;
}

void Reconciler::filter(std::uint32_t link, std::vector<InboundMessage>& batch,
                        Clock::time_point now) {
    expire(now);
    if (!active()) return;
    const auto twins = [&](const InboundMessage& m) {
        return m.kind == InboundMessage::Kind::message && is_twin(link, m, now);
    };
    batch.erase(std::remove_if(batch.begin(), batch.end(), twins), batch.end());
}

bool Reconciler::is_twin(std::uint32_t link, const InboundMessage& message, Clock::time_point now) {
    const std::uint64_t key = key_of(message);
    const auto [first, last] = unmatched.equal_range(key);
    const auto other =
        std::find_if(first, last, [link](const auto& kv) { return kv.second != link; });
    if (other != last) {
        unmatched.erase(other);
        return true;
    }
    // Only while another connection may still bring its twin.
    if (links < 2) return false;
    if (waiting.size() >= capacity) {
        forget(waiting.front());
        waiting.pop_front();
    }
    unmatched.emplace(key, link);
    waiting.push_back(Copy{now, key, link});
    return false;
}

// While connections overlap, a copy waits however long its twin takes (one connection may be
// held back by limit_queue); once one is left, the last copies wait out the window.
void Reconciler::expire(Clock::time_point now) {
    if (links > 1) return;
    while (!waiting.empty() && now - waiting.front().at > window) {
        forget(waiting.front());
        waiting.pop_front();
    }
}

// A copy matched meanwhile is gone already; then a later copy of the same payload from the
// same connection goes in its place, which only shortens that one's wait.
void Reconciler::forget(const Copy& copy) {
    const auto [first, last] = unmatched.equal_range(copy.key);
    const auto it =
        std::find_if(first, last, [&](const auto& kv) { return kv.second == copy.link; });
    if (it != last) unmatched.erase(it);
}

}  // namespace corvane
