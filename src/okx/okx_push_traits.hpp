#pragma once
// OKX's pushes ({"arg":{...},"data":[...]}), read with a scan of their text and no JSON parse:
// the identity of a push is its "arg" with the first data item's own id (an order's ordId with
// its uTime, seqId on books channels, tradeId on trades, ts on the others); the sequence is that
// of the books channels (prevSeqId, seqId).

#include "core/push_traits.hpp"

namespace corvane::okx {

const PushTraits& push_traits();

}  // namespace corvane::okx
