#pragma once
// MEXC's protobuf pushes (PushDataV3ApiWrapper), read with a scan of their top-level fields: the
// identity of a push is every field but sendTime (6), which each connection's gateway stamps on
// its own; the sequence is that of aggregated depth (fromVersion, toVersion) and limit depth
// (version).

#include "core/stream/push_traits.hpp"

namespace corvane::mexc {

const PushTraits& push_traits();

}  // namespace corvane::mexc
