#include "core/stream/switchover/reconciler.hpp"

#include <algorithm>
#include <functional>
#include <string_view>

namespace corvane {

Reconciler::Reconciler(const PushTraits& traits, Clock::duration window, std::size_t capacity)
    : traits(traits), window(window), capacity(capacity) {}

void Reconciler::begin(std::uint32_t link) {
    recording = true;
    bytes_too = false;
    old = link;
    finished_at = Clock::time_point::max();
}

void Reconciler::old_finished(Clock::time_point now) {
    recording = false;
    bytes_too = false;
    finished_at = now;
}

void Reconciler::reading_resumed(Clock::time_point now) {
    if (finished_at != Clock::time_point::max()) finished_at = std::max(finished_at, now);
}

// Identities and byte hashes are told apart by their lowest bit, so that neither matches the
// other.
Reconciler::Key Reconciler::key_of(const InboundMessage& message) const {
    const PushIdentity identity = traits.identity ? traits.identity(message) : PushIdentity{};
    if (identity.push != 0) return Key{identity.push | 1, identity.channel, true};
    const std::uint64_t hash = std::hash<std::string_view>()(message.payload);
    // The size and the frame kind as well: two payloads differing in either never match.
    const std::uint64_t shape = (message.payload.size() << 1) | (message.binary ? 1u : 0u);
    return Key{(hash ^ (shape * 0x9e3779b97f4a7c15ULL)) & ~std::uint64_t{1}, 0, false};
}

void Reconciler::record(std::uint32_t link, const std::vector<InboundMessage>& batch,
                        Clock::time_point /*now*/) {
    if (!recording || link != old) return;
    for (const InboundMessage& message : batch) {
        if (message.kind != InboundMessage::Kind::message) continue;
        const Key key = key_of(message);
        if (!key.has_identity && !bytes_too) continue;
        if (waiting.size() >= capacity) {
            if (!waiting.front().taken) take(waiting.front());
            waiting.pop_front();
        }
        waiting.push_back(Copy{key.key, key.channel, link, false});
        by_key.emplace(key.key, &waiting.back());
    }
}

void Reconciler::filter(std::uint32_t link, std::vector<InboundMessage>& batch,
                        Clock::time_point now) {
    expire(now);
    if (by_key.empty()) return;
    const auto twin = [&](const InboundMessage& message) {
        return message.kind == InboundMessage::Kind::message && is_twin(link, key_of(message));
    };
    batch.erase(std::remove_if(batch.begin(), batch.end(), twin), batch.end());
}

bool Reconciler::is_twin(std::uint32_t link, const Key& key) {
    const auto [first, last] = by_key.equal_range(key.key);
    const auto other = std::find_if(first, last, [link](const auto& kv) {
        return kv.second->link != link;
    });
    if (other != last) {
        Copy& copy = *other->second;
        by_key.erase(other);
        copy.taken = true;
        return true;
    }
    if (key.has_identity) end_channel(link, key.channel);
    return false;
}

void Reconciler::end_channel(std::uint32_t link, std::uint64_t channel) {
    const std::pair<std::uint32_t, std::uint64_t> done{link, channel};
    if (std::find(ended.begin(), ended.end(), done) != ended.end()) return;
    ended.push_back(done);
    for (Copy& copy : waiting) {
        if (!copy.taken && copy.channel == channel && copy.link != link) take(copy);
    }
}

void Reconciler::take(Copy& copy) {
    const auto [first, last] = by_key.equal_range(copy.key);
    const auto it =
        std::find_if(first, last, [&copy](const auto& kv) { return kv.second == &copy; });
    if (it != last) by_key.erase(it);
    copy.taken = true;
}

// Copies without an identity wait out the window after the old connection finished.
void Reconciler::expire(Clock::time_point now) {
    if (!recording && finished_at != Clock::time_point::max() && now - finished_at > window) {
        for (Copy& copy : waiting) {
            if (!copy.taken && copy.channel == 0) take(copy);
        }
        finished_at = Clock::time_point::max();
    }
    while (!waiting.empty() && waiting.front().taken)
        waiting.pop_front();
    if (waiting.empty()) ended.clear();
}

}  // namespace corvane
