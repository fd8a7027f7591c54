#pragma once
// OKX's pushes ({"arg":{...},"data":[...]}), read with a scan of their text and no JSON parse:
// a push with an id of its own (an order's ordId with its uTime, seqId on books channels,
// tradeId on trades, ts on the others) is identified by its bytes, which are the same on every
// connection, and its channel by its "arg"; the sequence is that of the books channels
// (prevSeqId, seqId).

#include "core/stream/push_traits.hpp"

namespace corvane::okx {

const PushTraits& push_traits();

}  // namespace corvane::okx
