#include "core/stream/switchover/sequence_check.hpp"

#include <algorithm>
#include <utility>

namespace corvane {

bool SequenceCheck::breaks(const SequencePoint& point, std::int64_t previous_last, Break& found) {
    switch (point.rule) {
        case SequencePoint::Rule::linked:
            found = {previous_last, point.first};
            return point.first != -1 && point.first != previous_last;
        case SequencePoint::Rule::consecutive:
            found = {previous_last + 1, point.first};
            return point.first != previous_last + 1;
        case SequencePoint::Rule::increasing:
            found = {previous_last + 1, point.last};
            return point.last <= previous_last;
    }
    return false;
}

void SequenceCheck::check(std::vector<InboundMessage>& batch) {
    if (!traits.sequence) return;
    std::size_t first_gap = 0;
    InboundMessage event;
    for (; first_gap < batch.size(); ++first_gap) {
        if (gap_before(batch[first_gap], event)) break;
    }
    if (first_gap == batch.size()) return;
    // Rare: the batch is rebuilt with the events in their places.
    std::vector<InboundMessage> out;
    out.reserve(batch.size() + 1);
    std::move(batch.begin(), batch.begin() + first_gap, std::back_inserter(out));
    out.push_back(std::move(event));
    out.push_back(std::move(batch[first_gap]));
    for (std::size_t i = first_gap + 1; i < batch.size(); ++i) {
        if (gap_before(batch[i], event)) out.push_back(std::move(event));
        out.push_back(std::move(batch[i]));
    }
    batch.swap(out);
}

bool SequenceCheck::gap_before(const InboundMessage& message, InboundMessage& event) {
    SequencePoint point;
    if (message.kind != InboundMessage::Kind::message || !traits.sequence(message, point)) {
        return false;
    }
    const auto it = std::find_if(followed.begin(), followed.end(), [&](const Followed& f) {
        return f.channel == point.channel && f.instrument == point.instrument;
    });
    if (it == followed.end()) {
        followed.push_back({std::string(point.channel), std::string(point.instrument), point.last});
        return false;
    }
    Break found;
    const bool gap = breaks(point, it->last, found);
    it->last = point.last;
    if (!gap) return false;
    gaps.fetch_add(1, std::memory_order_relaxed);
    event = InboundMessage{};
    event.kind = InboundMessage::Kind::gap;
    event.payload = it->channel + '\n' + it->instrument + '\n' + std::to_string(found.expected) +
                    '\n' + std::to_string(found.got);
    event.recv_ns = message.recv_ns;
    event.connection = message.connection;
    return true;
}

void SequenceCheck::restart(std::string_view channel, std::string_view instrument) {
    followed.erase(std::remove_if(followed.begin(), followed.end(),
                                  [&](const Followed& f) {
                                      return f.channel == channel &&
                                             (instrument.empty() || f.instrument == instrument);
                                  }),
                   followed.end());
}

}  // namespace corvane
