#include "core/book/json_levels.hpp"

#include <limits>
#include <string>

namespace corvane::book {

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
