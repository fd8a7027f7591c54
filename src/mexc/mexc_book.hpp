#pragma once
// MEXC's order books as BookSync keeps them: the aggregated depth stream's versions (each push
// runs fromVersion..toVersion, and fromVersion is the last toVersion + 1), MEXC's recipe for
// aligning GET /api/v3/depth's lastUpdateId with the cached pushes, and the readers of a depth
// push (protobuf: aggregated depth, or limit depth, a whole book each push) and of the REST
// body. Pure; the rule is stateless and shared.

#include <optional>
#include <string_view>

#include "core/book/book_push.hpp"
#include "core/book/kept_book.hpp"
#include "core/inbound/message_batch.hpp"
#include "core/rest/https_client.hpp"
#include "core/book/snapshot_pacer.hpp"

namespace corvane::mexc {

const book::SequenceRule& book_sequence_rule();

// 500 requests in 10 s per endpoint: one every 20 ms.
inline constexpr book::PacerLimits kBookSnapshotPacing{book::Millis(20), book::Millis(10000)};

// The streams whose books are kept: aggregated depth (spot@public.aggre.depth.v3.api.pb@100ms|10ms
// @SYMBOL, updates in sequence) and limit depth (spot@public.limit.depth.v3.api.pb@SYMBOL@5|10|20,
// a whole book each push), named as their pushes name them, with `symbol` in them.
bool keeps_book(std::string_view stream, std::string_view symbol);
// A depth push: its stream and symbol (views into the frame).
bool book_key(const InboundMessage& message, std::string_view& stream, std::string_view& symbol);
// GET /api/v3/depth for the book of `key`, as deep as MEXC gives (5000 levels).
https::Request book_snapshot_request(const book::BookKey& key);

// One PushDataV3ApiWrapper frame carrying publicAggreDepths (an update) or publicLimitDepths (a
// whole book); nullopt for any other frame or a malformed one.
std::optional<book::BookPush> read_depth_push(std::string_view frame);
// The body of GET /api/v3/depth ({"lastUpdateId":...,"bids":[...],"asks":[...]}), or nullopt.
std::optional<book::BookPush> read_depth_snapshot(std::string_view text);

}  // namespace corvane::mexc
