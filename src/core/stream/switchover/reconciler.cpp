#include "core/stream/switchover/reconciler.hpp"

#include <algorithm>

namespace corvane {
namespace {

// Enough starting points for any real repeat pattern; past it, the earliest are tried.
constexpr std::size_t kMaxStarts = 1024;
constexpr std::size_t kNone = ~std::size_t{0};

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
        for (InboundMessage& message : batch)
            take_in(handover, std::move(message));
        batch.clear();
        const bool window_over = handover.finished_at != Clock::time_point::max() &&
                                 now - handover.finished_at > window;
        release(handover, batch, window_over);
    }
    expire(now);
}

void Reconciler::release_all(std::vector<InboundMessage>& out) {
    for (Handover& handover : handovers)
        release(handover, out, true);
    handovers.clear();
}

void Reconciler::take_in(Handover& handover, InboundMessage message) {
    Waiting waiting{std::move(message), kNone, 0, false};
    const InboundMessage& m = waiting.message;
    const PushIdentity identity = m.kind == InboundMessage::Kind::message && traits.identity
                                      ? traits.identity(m)
                                      : PushIdentity{};
    const auto it =
        std::find_if(handover.channels.begin(), handover.channels.end(),
                     [&identity](const Channel& c) { return c.channel == identity.channel; });
    if (identity.push != 0 && it != handover.channels.end()) {
        waiting.channel = static_cast<std::size_t>(it - handover.channels.begin());
        Channel& channel = *it;
        if (!channel.started && !channel.done && snapshot_twin(channel, m)) {
            waiting.twin = true;
        } else if (!channel.done) {
            waiting.index = channel.seen;
            step(channel, identity.push);
        } else {
            waiting.index = channel.seen++;
        }
    }
    handover.pending.push_back(std::move(waiting));
}

// One more push of the replacement's on `channel`: starting points it contradicts go.
void Reconciler::step(Channel& channel, std::uint64_t key) {
    const std::size_t n = channel.old.size();
    if (!channel.started) {
        channel.started = true;
        for (std::size_t j = 0; j < n && channel.starts.size() < kMaxStarts; ++j) {
            if (channel.old[j] == key) channel.starts.push_back(j);
        }
    }
    const std::size_t i = channel.seen++;
    auto& starts = channel.starts;
    starts.erase(std::remove_if(starts.begin(), starts.end(),
                                [&](std::size_t j) { return j + i < n && channel.old[j + i] != key; }),
                 starts.end());
    if (starts.empty() || starts.front() + channel.seen >= n) {
        channel.done = true;
        channel.overlap = starts.empty() ? 0 : n - starts.front();
        channel.old.clear();
        starts.clear();
    }
}

// The earliest starting point left (the longest overlap) decides; a push is judged once that
// point is sure to stay, or once the push lies beyond its overlap. With `force`, the point of
// the moment decides.
Reconciler::Verdict Reconciler::verdict(const Handover& handover, const Waiting& waiting,
                                        bool force) const {
    if (waiting.twin) return Verdict::twin;
    if (waiting.channel == kNone) return Verdict::fresh;
    const Channel& channel = handover.channels[waiting.channel];
    if (channel.done) return waiting.index < channel.overlap ? Verdict::twin : Verdict::fresh;
    if (channel.starts.empty()) return Verdict::fresh;
    const std::size_t j0 = channel.starts.front();
    if (j0 + waiting.index >= channel.old.size()) return Verdict::fresh;
    return force ? Verdict::twin : Verdict::open;
}

void Reconciler::release(Handover& handover, std::vector<InboundMessage>& out, bool force) {
    auto& pending = handover.pending;
    std::size_t taken = 0;
    for (; taken < pending.size(); ++taken) {
        const Verdict v = verdict(handover, pending[taken], force);
        if (v == Verdict::open) break;
        if (v == Verdict::fresh) out.push_back(std::move(pending[taken].message));
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(taken));
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

// Channels the replacement never carried wait out the window after the old one finished (a
// handover goes once it holds back nothing).
void Reconciler::expire(Clock::time_point now) {
    const auto over = [&](const Handover& handover) {
        const bool all_done = std::all_of(handover.channels.begin(), handover.channels.end(),
                                          [](const Channel& c) { return c.done; });
        return !handover.recording && handover.pending.empty() &&
               (all_done || (handover.finished_at != Clock::time_point::max() &&
                             now - handover.finished_at > window));
    };
    handovers.erase(std::remove_if(handovers.begin(), handovers.end(), over), handovers.end());
}

}  // namespace corvane
