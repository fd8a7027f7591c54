#pragma once
// Reconciler: during a switch-over the old connection and its replacement receive the same
// pushes for a while. The old one's messages are delivered as they come, and its pushes kept;
// the replacement's are held until the old one has delivered everything, then aligned with them.
//
// Alignment, channel by channel (PushTraits::identity): the replacement's stream of a channel
// starts somewhere in the old one's, so its first pushes are the old one's last. The longest
// run of the replacement's first pushes that equals the end of the old one's is the overlap:
// those are twins and dropped; everything after it is new, a payload the exchange sent before
// (a genuine repeat) included, and so is anything only the old connection carried. A snapshot
// (a book push that starts its sequence again) at or before the old one's last sequence number
// is where the replacement's stream takes over: it and the overlap after it are dropped, as the
// reader's book already has them; a later one is delivered.
//
// A message that is no push (replies, events) is each connection's own: never a twin. A push
// without an id of its own is kept only from the replacement's acknowledgement on (before it,
// the same bytes on the replacement are a new push).
// A push that matches one of the old connection's is judged by those after it (the
// replacement's first push may be a repeat of an older one, when the overlap is empty). A channel is done at the end of its overlap, or at the
// replacement's first push that fits no alignment; the rest wait until `window` after the old one has
// finished (that time counts only while the stream reads), at most `capacity` pushes per
// channel (the oldest go first).
// Owned by the stream's run thread; no lock.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "core/inbound/message_batch.hpp"
#include "core/stream/push_traits.hpp"

namespace corvane {

class Reconciler {
public:
    using Clock = std::chrono::steady_clock;

    explicit Reconciler(const PushTraits& traits, Clock::duration window = std::chrono::seconds(5),
                        std::size_t capacity = std::size_t{1} << 18);

    // A replacement opened: the pushes of the old connection `link` are kept from now on.
    void begin(std::uint32_t link);
    // The replacement has its channels acknowledged: pushes without an id of their own are kept
    // too (PushIdentity::from_open).
    void acknowledged();
    // The old connection has delivered everything: nothing more is kept.
    void old_finished(Clock::time_point now);
    // Reading stopped for limit_queue and went on at `now`: the window starts again.
    void reading_resumed(Clock::time_point now);
    bool active() const { return !handovers.empty(); }

    // Keeps the pushes of `batch` when it came on the old connection (changes nothing).
    void record(std::uint32_t link, const std::vector<InboundMessage>& batch,
                Clock::time_point now);
    // Drops from `batch` (messages of connection `link`, in order) each twin of a push the
    // connection it replaced delivered; keeps the order of the rest.
    // A push that matches one of the old connection's but could still be new (the next ones of
    // its channel tell) is held back, and the messages after it, until they do or the window is
    // over: `batch` then gets them, in order, with a later call.
    void filter(std::uint32_t link, std::vector<InboundMessage>& batch, Clock::time_point now);
    // Everything held back, judged as things stand (the stream closes).
    void release_all(std::vector<InboundMessage>& out);

private:
    struct Channel {
        std::uint64_t channel = 0;
        std::deque<std::uint64_t> old;   // the old connection's pushes, oldest first
        std::vector<std::size_t> starts;  // where in `old` the replacement may have started
        std::size_t seen = 0;             // the replacement's pushes aligned so far
        bool started = false;
        bool done = false;
        std::size_t overlap = 0;  // once done: how many of the replacement's first are twins
        bool has_last = false;
        std::int64_t old_last = 0;  // the old connection's last sequence number
    };
    struct Waiting {
        InboundMessage message;
        std::size_t channel;  // in Handover::channels; ~0: no push of a channel kept
        std::size_t index;    // its place among the replacement's pushes of that channel
        bool twin;            // a snapshot the old stream had passed
    };
    struct Handover {
        std::uint32_t from = 0;
        std::uint32_t to = 0;  // 0: not known yet (the first other connection filtered)
        bool recording = true;
        bool acknowledged = false;
        Clock::time_point finished_at = Clock::time_point::max();
        std::vector<Channel> channels;  // a handful: a scan beats a hash
        std::deque<Waiting> pending;    // the replacement's messages from the first not judged
    };
    enum class Verdict : std::uint8_t { twin, fresh, open };
    static Channel& channel_of(Handover& handover, std::uint64_t channel);
    void take_in(Handover& handover, InboundMessage message);
    static void step(Channel& channel, std::uint64_t key);
    Verdict verdict(const Handover& handover, const Waiting& waiting, bool force) const;
    void release(Handover& handover, std::vector<InboundMessage>& out, bool force);
    bool snapshot_twin(Channel& channel, const InboundMessage& message) const;
    void expire(Clock::time_point now);

    const PushTraits traits;
    const Clock::duration window;
    const std::size_t capacity;
    std::deque<Handover> handovers;  // oldest first; the last one may still be recording
};

}  // namespace corvane
