#pragma once
// The pieces the exchanges' book JSON shares: level arrays ([price, size, ...] as strings) and
// whole numbers sent as JSON integers or as digit strings. Each reader refuses anything else
// (nullopt or false), so a bad push is never half read. Pure functions; the level arrays are read
// from a DOM (REST replies) or in place from a JsonCursor (pushes), with the same results.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/book/json_cursor.hpp"
#include "core/book/order_book.hpp"

namespace corvane::book {

// One level from its price and size texts; a zero price is refused.
std::optional<Level> read_level(std::string_view price, std::string_view size);
// An array of [price, size, ...] arrays appended to `out`; false for anything else.
bool read_levels(const nlohmann::json& array, std::vector<Level>& out);
// The same from the value at `cursor`, which is passed whatever it holds: false when it is not
// such an array (or not JSON, and then the cursor has failed). `out` is reserved ahead.
bool read_levels(JsonCursor& cursor, std::vector<Level>& out);
// A non-negative integer written in decimal digits only.
std::optional<std::int64_t> read_digits(std::string_view text);
// An integer at least `minimum`, sent as a JSON integer or a digit string.
std::optional<std::int64_t> read_integer(const nlohmann::json& value, std::int64_t minimum);

}  // namespace corvane::book
