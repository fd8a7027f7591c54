#include "core/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace corvane {
namespace {

std::string printf_fixed(double value) {
    const int length = std::snprintf(nullptr, 0, "%f", value);
    std::string text(static_cast<std::size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, "%f", value);
    return text;
}

bool reads_back_as(const std::string& text, double value) {
    const double parsed = std::strtod(text.c_str(), nullptr);
    return std::memcmp(&parsed, &value, sizeof value) == 0;
}

std::string shortest_fixed(double value) {
    // DBL_MAX in fixed notation takes 309 digits; 400 leaves room for sign and fraction.
    char buffer[400];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    if (result.ec != std::errc()) return printf_fixed(value);
    return std::string(buffer, result.ptr);
}

}  // namespace

std::string float_text(double value) {
    std::string text = printf_fixed(value);
    if (!std::isfinite(value) || reads_back_as(text, value)) return text;
    return shortest_fixed(value);
}

std::string int_text(std::int32_t value) {
    return std::to_string(value);
}

}  // namespace corvane
