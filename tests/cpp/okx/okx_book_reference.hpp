#pragma once
// The DOM reading of an OKX book push that read_book_push replaced: nlohmann builds the whole
// message, then its members are looked up. Slow, but plainly right, so the in-place reader is
// checked against it push for push (and measured against it in bench/).

#include <optional>
#include <string_view>

#include "core/book/book_push.hpp"

namespace corvane::okx::reference {

std::optional<book::BookPush> read_book_push(std::string_view text);

}  // namespace corvane::okx::reference
