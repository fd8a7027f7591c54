#pragma once
// Python's view of book levels: each price and size as a decimal.Decimal, each level a
// (price, size) tuple. Decimal(str) costs about 0.4 µs, and a top-10 read makes 40 of them:
// values are cached (a book's prices and sizes repeat from read to read), so a read mostly
// looks them up. The cache is bounded and cleared when full. GIL held for every call.

#include <pybind11/pybind11.h>

#include <optional>
#include <vector>

#include "core/book/order_book.hpp"

namespace corvane {

// A list of (price, size) tuples, best first.
pybind11::list level_list(const std::vector<book::Level>& levels);
// One (price, size) tuple, or None.
pybind11::object level_pair(const std::optional<book::Level>& level);

}  // namespace corvane
