#include "core/book/json_levels.hpp"

#include <algorithm>
#include <limits>
#include <string>

namespace corvane::book {
namespace {

// How many levels the array just entered holds, to reserve them: its '[' before the first "]]",
// exact for the compact text the exchanges send. Only a capacity, so a wrong guess costs room,
// and no more than a level's shortest text (["1","1"]) per 9 bytes, whatever the text.
std::size_t estimate_levels(std::string_view rest) {
    const std::size_t end = rest.find("]]");
    if (end == std::string_view::npos) return 0;
    const auto count = static_cast<std::size_t>(std::count(rest.begin(), rest.begin() + end, '['));
    return std::min(count, end / 9 + 1);
}

}  // namespace

std::optional<Level> read_level(std::string_view price, std::string_view size) {
    const std::optional<Decimal> p = Decimal::parse(price);
    const std::optional<Decimal> s = Decimal::parse(size);
    if (!p || !s || p->is_zero()) return std::nullopt;
    return Level{*p, *s};
}

bool read_levels(const nlohmann::json& array, std::vector<Level>& out) {
    if (!array.is_array()) return false;
    out.reserve(out.size() + array.size());
    for (const nlohmann::json& entry : array) {
        if (!entry.is_array() || entry.size() < 2 || !entry[0].is_string() ||
            !entry[1].is_string()) {
            return false;
        }
        const std::optional<Level> level = read_level(entry[0].get_ref<const std::string&>(),
                                                      entry[1].get_ref<const std::string&>());
        if (!level) return false;
        out.push_back(*level);
    }
    return true;
}

bool read_levels(JsonCursor& cursor, std::vector<Level>& out) {
    if (cursor.peek() != '[') {
        cursor.skip_value();
        return false;
    }
    cursor.open_array();
    if (cursor.peek() == '[') out.reserve(out.size() + estimate_levels(cursor.rest()));
    JsonCursor::Scratch scratch[2];
    bool good = true;
    while (cursor.element()) {
        if (!good || cursor.peek() != '[') {
            good = false;
            cursor.skip_value();  // still checked: the text must be JSON throughout
            continue;
        }
        cursor.open_array();
        // [price, size, ...]: two strings, then anything.
        std::string_view texts[2];
        int taken = 0;
        bool strings = true;
        bool closed = false;
        while (taken < 2) {
            if (!cursor.element()) {
                closed = true;
                break;
            }
            if (cursor.peek() == '"') {
                cursor.string(texts[taken], scratch[taken]);
            } else {
                strings = false;
                cursor.skip_value();
            }
            ++taken;
        }
        if (!closed) cursor.skip_rest_of_array();
        if (taken < 2 || !strings || cursor.failed()) {
            good = false;
            continue;
        }
        const std::optional<Level> level = read_level(texts[0], texts[1]);
        if (!level) {
            good = false;
            continue;
        }
        out.push_back(*level);
    }
    return good && !cursor.failed();
}

std::optional<std::int64_t> read_digits(std::string_view text) {
    if (text.empty() || text.size() > 19) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
}

std::optional<std::int64_t> read_integer(const nlohmann::json& value, std::int64_t minimum) {
    std::optional<std::int64_t> found;
    if (value.is_number_integer()) {
        if (value.is_number_unsigned() &&
            value.get<std::uint64_t>() >
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        found = value.get<std::int64_t>();
    } else if (value.is_string()) {
        found = read_digits(value.get_ref<const std::string&>());
    }
    if (!found || *found < minimum) return std::nullopt;
    return found;
}

}  // namespace corvane::book
