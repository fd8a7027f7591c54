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
//
// A replacement's push that is a twin in one reading and new in another (the old connection's
// last pushes repeat an earlier run of them) waits for the next pushes of its channel to tell,
// and every message after it waits too, events included, so that order is kept. The wait ends
// at the deadline: `grace` after the old connection's last push (the time the replacement has
// to show its copies of what came next), never before the old one finished, and counted again
// from a resume of reading (limit_queue). A reading that still needs the replacement's next
// push then goes: the longest overlap it has shown decides, and the channels it never carried
// have none. At most `capacity` of the old one's pushes are kept per channel (the oldest go).
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

    explicit Reconciler(const PushTraits& traits,
                        Clock::duration grace = std::chrono::milliseconds(250),
                        std::size_t capacity = std::size_t{1} << 18);

    // A replacement opened: the pushes of the old connection `link` are kept from now on.
    void begin(std::uint32_t link);
    // The replacement has its channels acknowledged: pushes without an id of their own are kept
    // too (PushIdentity::from_open).
    void acknowledged();
    // The old connection has delivered everything: nothing more is kept.
    void old_finished(Clock::time_point now);
    // Reading stopped for limit_queue (no deadline meanwhile), and went on at `now`.
    void reading_paused();
    void reading_resumed(Clock::time_point now);
    bool active() const { return !handovers.empty() || !pending.empty(); }

    // Keeps the pushes of `batch` when it came on the old connection (changes nothing).
    void record(std::uint32_t link, const std::vector<InboundMessage>& batch,
                Clock::time_point now);
    // Drops from `batch` (messages or events of connection `link`, in order) each twin of a push
    // the connection it replaced delivered; what waits (see above) leaves `batch` and comes back,
    // in order, with a later call.
    void filter(std::uint32_t link, std::vector<InboundMessage>& batch, Clock::time_point now);
    // When what waits must be judged without a later message (max: nothing waits, or no
    // deadline yet); release_due then appends to `out` what it lets go.
    Clock::time_point deadline() const;
    void release_due(Clock::time_point now, std::vector<InboundMessage>& out);
    // Everything that waits, judged as things stand (the stream closes).
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
    struct Handover {
        std::uint64_t number = 0;
        std::uint32_t from = 0;
        std::uint32_t to = 0;  // 0: not known yet (the first other connection filtered)
        bool recording = true;
        bool acknowledged = false;
        bool settled = false;  // its deadline passed: every channel is done
        Clock::time_point finished_at = Clock::time_point::max();
        Clock::time_point last_push = Clock::time_point::min();  // the old one's
        Clock::time_point resumed_at = Clock::time_point::min();
        std::vector<Channel> channels;  // a handful: a scan beats a hash
    };
    struct Waiting {
        InboundMessage message;
        std::uint64_t handover = 0;  // 0: judged by none (another connection's, an event)
        std::size_t channel = 0;     // in Handover::channels; ~0: no push of a channel kept
        std::size_t index = 0;       // its place among the replacement's pushes of that channel
        bool twin = false;           // a snapshot the old stream had passed
    };
    enum class Verdict : std::uint8_t { twin, fresh, open };
    static Channel& channel_of(Handover& handover, std::uint64_t channel);
    Handover* judge_of(std::uint32_t link, const InboundMessage& message);
    const Handover* find(std::uint64_t number) const;
    Waiting take_in(Handover& handover, InboundMessage message) const;
    static void step(Channel& channel, std::uint64_t key);
    static void settle(Handover& handover);
    Clock::time_point deadline_of(const Handover& handover) const;
    Verdict verdict(const Waiting& waiting) const;
    void release(std::vector<InboundMessage>& out);
    void settle_due(Clock::time_point now);
    void prune();
    bool snapshot_twin(Channel& channel, const InboundMessage& message) const;

    const PushTraits traits;
    const Clock::duration grace;
    const std::size_t capacity;
    std::deque<Handover> handovers;  // oldest first; the last one may still be recording
    std::deque<Waiting> pending;     // from the first message not judged, in order
    std::uint64_t numbered = 0;
    bool paused = false;
};

}  // namespace corvane
