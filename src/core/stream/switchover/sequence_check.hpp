#pragma once
// SequenceCheck: the exchanges' own order-book sequences, followed per channel and instrument
// over everything a stream delivers, whichever connection it came on. A push that does not
// follow the one before it is a gap: an event of kind "gap" goes ahead of it (its payload
// "channel\ninstrument\nexpected\ngot"), and the count goes up. What the exchanges document as
// normal is not a gap: OKX's unchanged book (seqId = prevSeqId) and its reset after maintenance
// (seqId < prevSeqId) both still name the previous seqId as prevSeqId; a prevSeqId of -1 is a
// snapshot, which starts the count again, as does the first push after a (re)subscription.
// Owned by the stream's run thread; no lock.

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/inbound/message_batch.hpp"
#include "core/stream/push_traits.hpp"

namespace corvane {

class SequenceCheck {
public:
    SequenceCheck(const PushTraits& traits, std::atomic<std::uint64_t>& gaps)
        : traits(traits), gaps(gaps) {}

    // Puts a gap event ahead of each push in `batch` that breaks its sequence.
    void check(std::vector<InboundMessage>& batch);
    // The channel was subscribed or unsubscribed: its next push starts the count. An empty
    // instrument: every instrument of the channel.
    void restart(std::string_view channel, std::string_view instrument);

    // The expected and found values of a push that breaks its sequence; false if it does not.
    struct Break {
        std::int64_t expected = 0;
        std::int64_t got = 0;
    };
    static bool breaks(const SequencePoint& point, std::int64_t previous_last, Break& found);

private:
    struct Followed {
        std::string channel;
        std::string instrument;
        std::int64_t last;
    };
    bool gap_before(const InboundMessage& message, InboundMessage& event);

    const PushTraits traits;
    std::atomic<std::uint64_t>& gaps;
    std::vector<Followed> followed;  // a handful of books: a scan beats a hash
};

}  // namespace corvane
