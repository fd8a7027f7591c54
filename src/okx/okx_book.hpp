#pragma once
// OKX's order books as BookSync keeps them: the sequence rule of books, books-l2-tbt and
// books50-l2-tbt (each push's prevSeqId is the seqId before it, also when the book is unchanged
// (seqId = prevSeqId) and after a reset (seqId < prevSeqId); a snapshot has prevSeqId -1), the
// REST snapshot's alignment, and the readers of a push and of GET /api/v5/market/books. books5
// and bbo-tbt pushes are whole books. Pure; the rule is stateless and shared.

#include <optional>
#include <string_view>

#include "core/book/book_push.hpp"
#include "core/book/kept_book.hpp"
#include "core/inbound/message_batch.hpp"
#include "core/rest/https_client.hpp"
#include "core/book/snapshot_pacer.hpp"

namespace corvane::okx {

const book::SequenceRule& book_sequence_rule();

// GET /api/v5/market/books allows 40 requests in 2 s per IP: one every 50 ms.
inline constexpr book::PacerLimits kBookSnapshotPacing{book::Millis(50), book::Millis(10000)};

// The channels whose books are kept: books, books-l2-tbt, books50-l2-tbt (updates in sequence),
// books5 and bbo-tbt (a whole book each push).
bool keeps_book(std::string_view channel);
// A push of one of those channels: its channel and instrument (views into the message).
bool book_key(const InboundMessage& message, std::string_view& channel,
              std::string_view& instrument);
// GET /api/v5/market/books for the book of `key`, as deep as its channel.
https::Request book_snapshot_request(const book::BookKey& key);

// One push of a books channel ({"arg":{"channel":...},"action":...,"data":[{...}]}), read in
// place (okx_book_push.cpp); nullopt when it is not one readable book push.
std::optional<book::BookPush> read_book_push(std::string_view text);
// The body of GET /api/v5/market/books (code "0", one book with its seqId); nullopt otherwise.
std::optional<book::BookPush> read_book_snapshot(std::string_view text);

}  // namespace corvane::okx
