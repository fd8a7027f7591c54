#pragma once
// Reconciler: during a switch-over the old connection and its replacement receive the same
// pushes for a while. The old one's messages are delivered as they come, and its copies kept;
// the replacement's are held until the old one has delivered everything, then each one a copy of
// which the old one delivered is dropped, one copy for one copy.
//
// Which copies can have a twin: a push with an identity of its own (PushTraits::identity) from
// the moment the replacement opens (its twin is the same push); a push without one, matched byte
// for byte, only once the replacement has had its channels acknowledged (before that, the same
// bytes on the replacement are a new push).
//
// How long a copy waits: on one channel the twins are the start of what the replacement gets
// (from its subscription until the old one's end), so the first push of a channel on the
// replacement that is no twin ends the wait of every copy of that channel, however long the
// replacement was held back by limit_queue. Copies without an identity wait until `window`
// after the old one has finished (that time counts only while the stream reads), at most
// `capacity` copies in all (the oldest go first).
// Owned by the stream's run thread; no lock.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/inbound/message_batch.hpp"
#include "core/stream/push_traits.hpp"

namespace corvane {

class Reconciler {
public:
    using Clock = std::chrono::steady_clock;

    explicit Reconciler(const PushTraits& traits, Clock::duration window = std::chrono::seconds(5),
                        std::size_t capacity = std::size_t{1} << 18);

    // A replacement opened: the copies of the old connection `link` are kept from now on.
    void begin(std::uint32_t link);
    // The replacement has its channels acknowledged: copies without an identity are kept too.
    void acknowledged() { bytes_too = true; }
    // The old connection has delivered everything: nothing more is kept.
    void old_finished(Clock::time_point now);
    // Reading stopped for limit_queue and went on at `now`: the window starts again.
    void reading_resumed(Clock::time_point now);
    bool active() const { return recording || !waiting.empty(); }

    // Keeps the copies of `batch` when it came on the old connection (changes nothing).
    void record(std::uint32_t link, const std::vector<InboundMessage>& batch,
                Clock::time_point now);
    // Drops from `batch` (messages of connection `link`, in order) each twin of a copy kept from
    // another connection; keeps the order of the rest.
    void filter(std::uint32_t link, std::vector<InboundMessage>& batch, Clock::time_point now);

private:
    struct Copy {
        std::uint64_t key;
        std::uint64_t channel;  // 0: no identity (matched byte for byte)
        std::uint32_t link;
        bool taken;             // matched, or no longer waiting
    };
    struct Key {
        std::uint64_t key;
        std::uint64_t channel;
        bool has_identity;
    };
    Key key_of(const InboundMessage& message) const;
    bool is_twin(std::uint32_t link, const Key& key);
    // `link` had a push of `channel` that is no twin: no copy of that channel can have one now.
    void end_channel(std::uint32_t link, std::uint64_t channel);
    void take(Copy& copy);
    void expire(Clock::time_point now);

    const PushTraits traits;
    const Clock::duration window;
    const std::size_t capacity;
    bool recording = false;
    bool bytes_too = false;
    std::uint32_t old = 0;
    Clock::time_point finished_at = Clock::time_point::max();
    std::deque<Copy> waiting;  // in arrival order (a deque keeps them in place)
    std::unordered_multimap<std::uint64_t, Copy*> by_key;  // the copies not taken
    std::vector<std::pair<std::uint32_t, std::uint64_t>> ended;  // (link, channel) done
};

}  // namespace corvane
