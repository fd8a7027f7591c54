#include "core/stream/switchover/reconciler.hpp"

#include <algorithm>

namespace corvane {
namespace {

// Enough starting points for any real repeat pattern; past it, the earliest are tried.
constexpr std::size_t kMaxStarts = 1024;

}  // namespace

Reconciler::Reconciler(const PushTraits& traits, Clock::duration window, std::size_t capacity)
    : traits(traits), window(window), capacity(capacity) {}

void Reconciler::begin(std::uint32_t link) {
    // A replacement that never took over leaves nothing to align with.
    handovers.erase(std::remove_if(handovers.begin(), handovers.end(),
                                   [](const Handover& h) { return !h.recording && h.to == 0; }),
                    handovers.end());
    // A retry of the same switch-over keeps what the old connection delivered since the first.
    if (!handovers.empty() && handovers.back().recording && handovers.back().from == link) return;
    if (!handovers.empty() && handovers.back().recording) handovers.pop_back();
    handovers.push_back(Handover{});
    handovers.back().from = link;
}

void Reconciler::acknowledged() {
    if (!handovers.empty() && handovers.back().recording) handovers.back().acknowledged = true;
}

void Reconciler::old_finished(Clock::time_point now) {
    if (handovers.empty() || !handovers.back().recording) return;
    Handover& handover = handovers.back();
    handover.recording = false;
    handover.finished_at = now;
}

void Reconciler::reading_resumed(Clock::time_point now) {
    for (Handover& handover : handovers) {
        if (!handover.recording) handover.finished_at = std::max(handover.finished_at, now);
    }
}

Reconciler::Channel& Reconciler::channel_of(Handover& handover, std::uint64_t channel) {
    const auto it = std::find_if(handover.channels.begin(), handover.channels.end(),
                                 [channel](const Channel& c) { return c.channel == channel; });
    if (it != handover.channels.end()) return *it;
    handover.channels.emplace_back().channel = channel;
    return handover.channels.back();
}

void Reconciler::record(std::uint32_t link, const std::vector<InboundMessage>& batch,
                        Clock::time_point /*now*/) {
    if (handovers.empty() || !traits.identity) return;
    Handover& handover = handovers.back();
    if (!handover.recording || link != handover.from) return;
    for (const InboundMessage& message : batch) {
        if (message.kind != InboundMessage::Kind::message) continue;
        const PushIdentity identity = traits.identity(message);
        if (identity.push == 0 || (!identity.from_open && !handover.acknowledged)) continue;
        Channel& channel = channel_of(handover, identity.channel);
        if (channel.old.size() >= capacity) channel.old.pop_front();
        channel.old.push_back(identity.push);
        SequencePoint point;
        if (traits.sequence && traits.sequence(message, point)) {
            channel.has_last = true;
            channel.old_last = point.last;
        }
    }
}

void Reconciler::filter(std::uint32_t link, std::vector<InboundMessage>& batch,
                        Clock::time_point now) {
    expire(now);
    for (Handover& handover : handovers) {
        if (link == handover.from || (handover.to != 0 && link != handover.to)) continue;
        handover.to = link;
        const auto twin = [&](const InboundMessage& message) {
            return message.kind == InboundMessage::Kind::message && is_twin(handover, message);
        };
        batch.erase(std::remove_if(batch.begin(), batch.end(), twin), batch.end());
    }
    expire(now);
}

bool Reconciler::is_twin(Handover& handover, const InboundMessage& message) {
    const PushIdentity identity = traits.identity ? traits.identity(message) : PushIdentity{};
    if (identity.push == 0) return false;
    const auto it =
        std::find_if(handover.channels.begin(), handover.channels.end(),
                     [&identity](const Channel& c) { return c.channel == identity.channel; });
    if (it == handover.channels.end() || it->done) return false;
    Channel& channel = *it;
    const std::size_t n = channel.old.size();
    if (!channel.started) {
        if (snapshot_twin(channel, message)) return true;
        if (channel.done) return false;
        channel.started = true;
        for (std::size_t j = 0; j < n && channel.starts.size() < kMaxStarts; ++j) {
            if (channel.old[j] == identity.push) channel.starts.push_back(j);
        }
    }
    // Starting points the replacement's pushes so far contradict go; the earliest left (the
    // longest overlap) decides.
    const std::size_t i = channel.seen++;
    auto& starts = channel.starts;
    starts.erase(std::remove_if(starts.begin(), starts.end(),
                                [&](std::size_t j) {
                                    return j + i < n && channel.old[j + i] != identity.push;
                                }),
                 starts.end());
    const bool twin = !starts.empty() && starts.front() + i < n;
    if (starts.empty() || starts.front() + i + 1 >= n) {
        channel.done = true;
        channel.old.clear();
        starts.clear();
    }
    return twin;
}

// A snapshot the old connection's stream had already gone past (or reached) is dropped and the
// alignment starts after it; a later one starts the book again, and nothing is a twin after it.
bool Reconciler::snapshot_twin(Channel& channel, const InboundMessage& message) const {
    SequencePoint point;
    if (!traits.sequence || !traits.sequence(message, point)) return false;
    if (point.rule != SequencePoint::Rule::linked || point.first != -1) return false;
    if (channel.has_last && point.last <= channel.old_last) return true;
    channel.done = true;
    return false;
}

// Channels the replacement never carried wait out the window after the old one finished.
void Reconciler::expire(Clock::time_point now) {
    const auto over = [&](const Handover& handover) {
        const bool all_done = std::all_of(handover.channels.begin(), handover.channels.end(),
                                          [](const Channel& c) { return c.done; });
        return !handover.recording &&
               (all_done || (handover.finished_at != Clock::time_point::max() &&
                             now - handover.finished_at > window));
    };
    handovers.erase(std::remove_if(handovers.begin(), handovers.end(), over), handovers.end());
}

}  // namespace corvane
