#pragma once
// A book as one line of text, bids then asks, best first: what the book tests compare.

#include <string>

#include "core/book/order_book.hpp"

namespace corvane::book {

inline std::string book_text(const OrderBook& book) {
    std::string out;
    for (const Level& level : book.levels(Side::bid))
        out += level.price.text() + ":" + level.size.text() + " ";
    out += "|";
    for (const Level& level : book.levels(Side::ask))
        out += " " + level.price.text() + ":" + level.size.text();
    return out;
}

}  // namespace corvane::book
