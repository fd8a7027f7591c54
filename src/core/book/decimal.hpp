#pragma once
// Decimal: an exact, non-negative price or size as the exchanges write it ("93180.18",
// "0.00000010"), read from their text with no float anywhere, so that "0.10" and "0.1" are the
// same level and no rounding ever moves one. What does not fit (more than 19 significant digits
// or 18 decimals, a sign, an exponent, anything but digits and one inner point) is refused, and
// the caller treats the push as unreadable. A value type: no owner, no lock.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::book {

class Decimal {
public:
    static constexpr int kMaxDigits = 19;  // significant digits kept in 64 bits
    static constexpr int kMaxScale = 18;   // decimals
    static constexpr std::size_t kMaxText = 64;

    constexpr Decimal() = default;

    // The value of `text` ("123", "0.5", "007.250"), or nullopt for anything else.
    static std::optional<Decimal> parse(std::string_view text);

    bool is_zero() const { return units_ == 0; }
    // Canonical text: no trailing decimal zeros, no leading zeros, "0" for zero.
    std::string text() const;

    std::uint64_t units() const { return units_; }  // value = units / 10^scale
    int scale() const { return scale_; }

    // -1, 0 or 1 as `a` is below, equal to or above `b`.
    friend int compare(const Decimal& a, const Decimal& b);
    friend bool operator==(const Decimal& a, const Decimal& b) {
        return a.units_ == b.units_ && a.scale_ == b.scale_;  // both canonical
    }
    friend bool operator!=(const Decimal& a, const Decimal& b) { return !(a == b); }
    friend bool operator<(const Decimal& a, const Decimal& b) { return compare(a, b) < 0; }
    friend bool operator>(const Decimal& a, const Decimal& b) { return compare(a, b) > 0; }
    friend bool operator<=(const Decimal& a, const Decimal& b) { return compare(a, b) <= 0; }
    friend bool operator>=(const Decimal& a, const Decimal& b) { return compare(a, b) >= 0; }

private:
    constexpr Decimal(std::uint64_t units, std::uint8_t scale) : units_(units), scale_(scale) {}

    std::uint64_t units_ = 0;
    std::uint8_t scale_ = 0;  // trailing decimal zeros stripped, so equal values are equal bits
};

}  // namespace corvane::book
