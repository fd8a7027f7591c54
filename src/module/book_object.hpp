#pragma once
// Book: Python's handle on a tracked order book (core/book/kept_book.hpp). A small C type, not
// a pybind11 class: a read of the top of the book is a few hundred nanoseconds, and pybind11's
// dispatch alone would double that. Reads take the book's lock with the GIL held (the lock is
// held for one copy or one push's apply; the thread that applies never takes the GIL).

#include <pybind11/pybind11.h>

#include <memory>

#include "core/book/kept_book.hpp"

namespace corvane {

// A new reference to a Book for `book`.
pybind11::object new_book(std::shared_ptr<book::KeptBook> book);
void bind_book_type(pybind11::module_& m);

}  // namespace corvane
