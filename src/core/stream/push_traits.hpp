#pragma once
// PushTraits: what an exchange's pushes say about themselves, for the stream's run thread (pure
// functions over one message; no state, no lock).
//   identity: a key that every copy of one push shares on every connection, leaving out what
//     each connection stamps on its own (MEXC's sendTime), and a key of its channel and
//     instrument; push 0 for a message that is no push (each connection's own). from_open: a
//     copy on the old connection may be a twin from the replacement's opening; false for a push
//     without an id of its own, which may be one only once the replacement is acknowledged.
//   sequence: the push's place in an order book's sequence, when it carries one.

#include <cstdint>
#include <string_view>

#include "core/inbound/message_batch.hpp"

namespace corvane {

struct SequencePoint {
    enum class Rule : std::uint8_t {
        linked,       // first: the previous push's last (OKX prevSeqId = seqId before); -1 restarts
        consecutive,  // first: the previous push's last + 1 (MEXC fromVersion = toVersion + 1)
        increasing,   // last: above the previous push's last (MEXC limit depth's version)
    };
    std::string_view channel;     // views into the message's payload
    std::string_view instrument;
    std::int64_t first = 0;
    std::int64_t last = 0;
    Rule rule = Rule::linked;
};

struct PushIdentity {
    std::uint64_t push = 0;
    std::uint64_t channel = 0;
    bool from_open = true;
};

struct PushTraits {
    PushIdentity (*identity)(const InboundMessage& message) = nullptr;
    bool (*sequence)(const InboundMessage& message, SequencePoint& point) = nullptr;
};

}  // namespace corvane
