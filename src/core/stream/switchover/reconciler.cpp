#include "core/stream/switchover/reconciler.hpp"

#include <algorithm>

namespace corvane {
namespace {

// Enough starting points for any real repeat pattern; past it, the earliest are tried.
constexpr std::size_t kMaxStarts = 1024;
constexpr std::size_t kNone = ~std::size_t{0};

}  // namespace

Reconciler::Reconciler(const PushTraits& traits, Clock::duration grace, std::size_t capacity)
    : traits(traits), grace(grace), capacity(capacity) {}

void Reconciler::begin(std::uint32_t link) {
    // A replacement that never took over leaves nothing to align with.
    handovers.erase(std::remove_if(handovers.begin(), handovers.end(),
                                   [](const Handover& h) { return !h.recording && h.to == 0; }),
                    handovers.end());
    // A retry of the same switch-over keeps what the old connection delivered since the first.
    if (!handovers.empty() && handovers.back().recording && handovers.back().from == link) return;
    if (!handovers.empty() && handovers.back().recording) handovers.pop_back();
    handovers.push_back(Handover{});
    handovers.back().number = ++numbered;
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

void Reconciler::reading_paused() {
    paused = true;
}

void Reconciler::reading_resumed(Clock::time_point now) {
    paused = false;
    for (Handover& handover : handovers)
        handover.resumed_at = now;
}

Reconciler::Channel& Reconciler::channel_of(Handover& handover, std::uint64_t channel) {
    const auto it = std::find_if(handover.channels.begin(), handover.channels.end(),
                                 [channel](const Channel& c) { return c.channel == channel; });
    if (it != handover.channels.end()) return *it;
    handover.channels.emplace_back().channel = channel;
    return handover.channels.back();
}

void Reconciler::record(std::uint32_t link, const std::vector<InboundMessage>& batch,
                        Clock::time_point now) {
    if (handovers.empty() || !traits.identity) return;
    Handover& handover = handovers.back();
    if (!handover.recording || link != handover.from) return;
    for (const InboundMessage& message : batch) {
        if (message.kind != InboundMessage::Kind::message) continue;
        const PushIdentity identity = traits.identity(message);
        if (identity.push == 0 || (!identity.from_open && !handover.acknowledged)) continue;
        handover.last_push = now;
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
    settle_due(now);
    for (InboundMessage& message : batch) {
        Handover* handover = judge_of(link, message);
        if (handover) {
            pending.push_back(take_in(*handover, std::move(message)));
        } else {
            pending.push_back(Waiting{std::move(message), 0, kNone, 0, false});
        }
    }
    batch.clear();
    release(batch);
    prune();
}

Reconciler::Clock::time_point Reconciler::deadline() const {
    if (pending.empty() || paused) return Clock::time_point::max();
    Clock::time_point earliest = Clock::time_point::max();
    for (const Handover& handover : handovers) {
        if (!handover.settled) earliest = std::min(earliest, deadline_of(handover));
    }
    return earliest;
}

void Reconciler::release_due(Clock::time_point now, std::vector<InboundMessage>& out) {
    settle_due(now);
    release(out);
    prune();
}

void Reconciler::release_all(std::vector<InboundMessage>& out) {
    for (Handover& handover : handovers)
        settle(handover);
    release(out);
    pending.clear();
    handovers.clear();
}

// The replacement's pushes are judged by the switch-over it took over; events and other
// connections' messages by none (they only keep their place).
Reconciler::Handover* Reconciler::judge_of(std::uint32_t link, const InboundMessage& message) {
    if (message.kind != InboundMessage::Kind::message) return nullptr;
    for (Handover& handover : handovers) {
        if (link == handover.from || (handover.to != 0 && link != handover.to)) continue;
        handover.to = link;
        return &handover;
    }
    return nullptr;
}

const Reconciler::Handover* Reconciler::find(std::uint64_t number) const {
    for (const Handover& handover : handovers) {
        if (handover.number == number) return &handover;
    }
    return nullptr;
}

Reconciler::Waiting Reconciler::take_in(Handover& handover, InboundMessage message) const {
    Waiting waiting{std::move(message), handover.number, kNone, 0, false};
    const InboundMessage& m = waiting.message;
    const PushIdentity identity = traits.identity ? traits.identity(m) : PushIdentity{};
    const auto it =
        std::find_if(handover.channels.begin(), handover.channels.end(),
                     [&identity](const Channel& c) { return c.channel == identity.channel; });
    if (identity.push == 0 || it == handover.channels.end()) return waiting;
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
    return waiting;
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
                                [&](std::size_t j) {
                                    return j + i < n && channel.old[j + i] != key;
                                }),
                 starts.end());
    if (starts.empty() || starts.front() + channel.seen >= n) {
        channel.done = true;
        channel.overlap = starts.empty() ? 0 : n - starts.front();
        channel.old.clear();
        starts.clear();
    }
}

// The deadline has passed: a starting point that still needs the replacement's next push is
// ruled out by its silence; the earliest left decides, and a channel not carried has no overlap.
void Reconciler::settle(Handover& handover) {
    handover.settled = true;
    for (Channel& channel : handover.channels) {
        if (channel.done) continue;
        const std::size_t n = channel.old.size();
        auto& starts = channel.starts;
        starts.erase(std::remove_if(starts.begin(), starts.end(),
                                    [&](std::size_t j) { return j + channel.seen < n; }),
                     starts.end());
        channel.done = true;
        channel.overlap = starts.empty() ? 0 : n - starts.front();
        channel.old.clear();
        starts.clear();
    }
}

Reconciler::Clock::time_point Reconciler::deadline_of(const Handover& handover) const {
    if (handover.recording) return Clock::time_point::max();
    const auto after = [this](Clock::time_point at) {
        return at == Clock::time_point::min() ? at : at + grace;
    };
    return std::max({handover.finished_at, after(handover.last_push), after(handover.resumed_at)});
}

// A push is a twin once a starting point that no later push can rule out (the replacement has
// matched the old stream to its end from there) makes it one; new once even the earliest left
// leaves it beyond the overlap; else it waits.
Reconciler::Verdict Reconciler::verdict(const Waiting& waiting) const {
    if (waiting.twin) return Verdict::twin;
    if (waiting.handover == 0 || waiting.channel == kNone) return Verdict::fresh;
    const Handover* handover = find(waiting.handover);
    if (!handover) return Verdict::fresh;
    const Channel& channel = handover->channels[waiting.channel];
    if (channel.done) return waiting.index < channel.overlap ? Verdict::twin : Verdict::fresh;
    const std::size_t n = channel.old.size();
    if (channel.starts.empty() || channel.starts.front() + waiting.index >= n) {
        return Verdict::fresh;
    }
    const auto kept = std::find_if(channel.starts.begin(), channel.starts.end(),
                                   [&](std::size_t j) { return j + channel.seen >= n; });
    if (kept != channel.starts.end() && *kept + waiting.index < n) return Verdict::twin;
    return Verdict::open;
}

void Reconciler::release(std::vector<InboundMessage>& out) {
    while (!pending.empty()) {
        const Verdict v = verdict(pending.front());
        if (v == Verdict::open) break;
        if (v == Verdict::fresh) out.push_back(std::move(pending.front().message));
        pending.pop_front();
    }
}

void Reconciler::settle_due(Clock::time_point now) {
    if (paused) return;
    for (Handover& handover : handovers) {
        if (!handover.settled && deadline_of(handover) <= now) settle(handover);
    }
}

// A switch-over is forgotten once the old connection has finished, its channels are judged and
// nothing waiting refers to it.
void Reconciler::prune() {
    const auto over = [&](const Handover& handover) {
        const bool all_done = std::all_of(handover.channels.begin(), handover.channels.end(),
                                          [](const Channel& c) { return c.done; });
        const bool referred =
            std::any_of(pending.begin(), pending.end(),
                        [&](const Waiting& w) { return w.handover == handover.number; });
        return !handover.recording && (all_done || handover.settled) && !referred;
    };
    handovers.erase(std::remove_if(handovers.begin(), handovers.end(), over), handovers.end());
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

}  // namespace corvane
