#pragma once
// OrderBook: one instrument's book as the exchange keeps it, bids best (highest) first and asks
// best (lowest) first, each side a sorted vector of exact levels (a few hundred levels: a binary
// search and a short move beat a tree, and the whole book stays in a few contiguous blocks). It
// knows nothing of sequences: BookSync decides what is applied. Owned by the thread that feeds
// its BookSync; readers take copies under their owner's lock.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/book/decimal.hpp"

namespace corvane::book {

struct Level {
    Decimal price;
    Decimal size;
};

enum class Side : std::uint8_t { bid, ask };

class OrderBook {
public:
    // Sets the level at `level.price` to `level.size`; a size of zero removes the level.
    void apply(Side side, const Level& level);
    void apply(Side side, const std::vector<Level>& levels);
    // The book becomes exactly these levels (a snapshot), in any order; zero sizes skipped.
    void replace(const std::vector<Level>& bids, const std::vector<Level>& asks);
    void clear();

    const std::vector<Level>& levels(Side side) const { return side == Side::bid ? bids_ : asks_; }
    // The best `depth` levels of a side, best first.
    std::vector<Level> top(Side side, std::size_t depth) const;
    const Level* best(Side side) const;
    // Best bid at or above best ask: the book cannot be the exchange's.
    bool crossed() const;

    // The exchange's sequence (OKX seqId, MEXC version) and time (ms) of what was last applied.
    std::int64_t seq = 0;
    std::int64_t ts = 0;

    // Bytes held: the object and both sides' reserved storage.
    std::size_t memory_bytes() const;

private:
    std::vector<Level> bids_;  // price descending
    std::vector<Level> asks_;  // price ascending
};

}  // namespace corvane::book
