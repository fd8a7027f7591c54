#include "core/book/decimal.hpp"

namespace corvane::book {
namespace {

using Wide = unsigned __int128;

constexpr Wide pow10(int n) {
    Wide value = 1;
    for (int i = 0; i < n; ++i)
        value *= 10;
    return value;
}

bool digit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::optional<Decimal> Decimal::parse(std::string_view text) {
    if (text.empty() || text.size() > kMaxText) return std::nullopt;
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if (whole.empty() || (point != std::string_view::npos && fraction.empty())) {
        return std::nullopt;  // ".5", "5.", "."
    }
    std::string_view kept = fraction;
    while (!kept.empty() && kept.back() == '0')
        kept.remove_suffix(1);
    if (kept.size() > static_cast<std::size_t>(kMaxScale)) return std::nullopt;
    std::uint64_t units = 0;
    int significant = 0;
    const auto take = [&](char c) {
        if (!digit(c)) return false;
        if (units == 0 && c == '0') return true;  // a leading zero
        if (++significant > kMaxDigits) return false;
        const Wide next = static_cast<Wide>(units) * 10 + static_cast<unsigned>(c - '0');
        if (next > UINT64_MAX) return false;
        units = static_cast<std::uint64_t>(next);
        return true;
    };
    for (const char c : whole) {
        if (!take(c)) return std::nullopt;
    }
    for (const char c : kept) {
        if (!take(c)) return std::nullopt;
    }
    return Decimal(units, units == 0 ? 0 : static_cast<std::uint8_t>(kept.size()));
}

std::string Decimal::text() const {
    std::string digits = std::to_string(units_);
    if (scale_ == 0) return digits;
    if (digits.size() <= scale_) digits.insert(0, scale_ + 1 - digits.size(), '0');
    digits.insert(digits.size() - scale_, 1, '.');
    return digits;
}

int compare(const Decimal& a, const Decimal& b) {
    if (a.scale_ == b.scale_) return a.units_ < b.units_ ? -1 : (a.units_ > b.units_ ? 1 : 0);
    const int scale = a.scale_ > b.scale_ ? a.scale_ : b.scale_;
    const Wide left = static_cast<Wide>(a.units_) * pow10(scale - a.scale_);
    const Wide right = static_cast<Wide>(b.units_) * pow10(scale - b.scale_);
    return left < right ? -1 : (left > right ? 1 : 0);
}

}  // namespace corvane::book
