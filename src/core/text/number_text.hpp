#pragma once
// Decimal text of the numbers a Python caller passes as keyword values.

#include <cstdint>
#include <string>

namespace corvane {

// Fixed-point text that reads back as exactly `value`: printf's "%f" when that round-trips,
// otherwise the shortest fixed-point decimal that does. Never exponent notation; not-a-number
// and the infinities keep printf's words.
std::string float_text(double value);

// Decimal text of a 32-bit signed integer.
std::string int_text(std::int32_t value);

}  // namespace corvane
