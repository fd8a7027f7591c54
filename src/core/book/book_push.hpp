#pragma once
// What an exchange's parser makes of one book push or one REST snapshot, and the exchange's rule
// for whether pushes follow each other and a snapshot (SequenceRule). BookSync is generic over
// the rule; okx/okx_book.hpp and mexc/mexc_book.hpp hold the two exchanges'. Plain data; the rule
// is stateless and shared.

#include <cstdint>
#include <vector>

#include "core/book/order_book.hpp"

namespace corvane::book {

struct BookPush {
    enum class Kind : std::uint8_t {
        update,    // levels changed since the push before
        snapshot,  // the whole book (OKX prevSeqId -1, books5, bbo-tbt, MEXC limit depth)
    };
    Kind kind = Kind::update;
    // The sequence the push starts from and ends at: OKX prevSeqId and seqId, MEXC fromVersion
    // and toVersion. A snapshot's own sequence (OKX seqId, MEXC version or lastUpdateId) is `last`.
    std::int64_t first = 0;
    std::int64_t last = 0;
    std::int64_t ts = 0;  // the exchange's time, ms (0 when it sends none)
    std::vector<Level> bids;
    std::vector<Level> asks;
};

class SequenceRule {
public:
    virtual ~SequenceRule() = default;
    // `push` continues a book whose last applied sequence is `last`.
    virtual bool follows(std::int64_t last, const BookPush& push) const = 0;
    // A REST snapshot at `snapshot` is older than the first push kept since subscribing: the
    // pushes between them are lost, so it must be fetched again.
    virtual bool too_old(std::int64_t snapshot, const BookPush& first_kept) const = 0;
    // `push` changes nothing the snapshot does not already hold: it is dropped.
    virtual bool covered(std::int64_t snapshot, const BookPush& push) const = 0;
    // The first push not covered continues the snapshot (it is applied on top of it).
    virtual bool straddles(std::int64_t snapshot, const BookPush& push) const = 0;
};

}  // namespace corvane::book
