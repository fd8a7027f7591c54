#include "core/book/order_book.hpp"

#include <algorithm>

namespace corvane::book {
namespace {

// The first level of `levels` not better than `price` on `side`.
std::vector<Level>::iterator seek(std::vector<Level>& levels, Side side, const Decimal& price) {
    const auto better_bid = [](const Level& level, const Decimal& p) { return level.price > p; };
    const auto better_ask = [](const Level& level, const Decimal& p) { return level.price < p; };
    if (side == Side::bid) return std::lower_bound(levels.begin(), levels.end(), price, better_bid);
    return std::lower_bound(levels.begin(), levels.end(), price, better_ask);
}

}  // namespace

void OrderBook::apply(Side side, const Level& level) {
    std::vector<Level>& levels = side == Side::bid ? bids_ : asks_;
    const auto at = seek(levels, side, level.price);
    const bool found = at != levels.end() && at->price == level.price;
    if (level.size.is_zero()) {
        if (found) levels.erase(at);
    } else if (found) {
        at->size = level.size;
    } else {
        levels.insert(at, level);
    }
}

void OrderBook::apply(Side side, const std::vector<Level>& levels) {
    for (const Level& level : levels)
        apply(side, level);
}

void OrderBook::replace(const std::vector<Level>& bids, const std::vector<Level>& asks) {
    bids_.clear();
    asks_.clear();
    apply(Side::bid, bids);
    apply(Side::ask, asks);
}

void OrderBook::clear() {
    bids_.clear();
    asks_.clear();
    seq = 0;
    ts = 0;
}

std::vector<Level> OrderBook::top(Side side, std::size_t depth) const {
    const std::vector<Level>& all = levels(side);
    return std::vector<Level>(all.begin(), all.begin() + std::min(depth, all.size()));
}

const Level* OrderBook::best(Side side) const {
    const std::vector<Level>& all = levels(side);
    return all.empty() ? nullptr : &all.front();
}

bool OrderBook::crossed() const {
    return !bids_.empty() && !asks_.empty() && bids_.front().price >= asks_.front().price;
}

std::size_t OrderBook::memory_bytes() const {
    return sizeof(*this) + (bids_.capacity() + asks_.capacity()) * sizeof(Level);
}

}  // namespace corvane::book
