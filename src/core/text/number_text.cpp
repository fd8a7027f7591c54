#include "core/text/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

// std::to_chars and std::from_chars, unlike printf and strtod, ignore the C locale: a program
// that sets a locale with a decimal comma still sends 0.5, never 0,5.

namespace corvane {
namespace {

// Fixed-point notation of any finite double: DBL_MAX takes 309 digits before the point.
constexpr std::size_t kFixedDigits = 400;

// printf's "%f": fixed-point with exactly six digits after the point, correctly rounded.
std::string six_decimals(double value) {
    char buffer[kFixedDigits];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
    return std::string(buffer, result.ptr);
}

bool reads_back_as(const std::string& text, double value) {
    double parsed = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), parsed);
    return result.ec == std::errc() && std::memcmp(&parsed, &value, sizeof value) == 0;
}

std::string shortest_fixed(double value) {
    char buffer[kFixedDigits];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    return std::string(buffer, result.ptr);
}

// printf's words for the values that have no digits.
std::string non_finite(double value) {
    const char* word = std::isnan(value) ? "nan" : "inf";
    return std::signbit(value) ? std::string("-") + word : std::string(word);
}

}  // namespace

std::string float_text(double value) {
    if (!std::isfinite(value)) return non_finite(value);
    std::string text = six_decimals(value);
    if (reads_back_as(text, value)) return text;
    return shortest_fixed(value);
}

std::string int_text(std::int32_t value) {
    char buffer[16];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

}  // namespace corvane
