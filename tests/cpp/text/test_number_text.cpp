#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

#include "core/text/number_text.hpp"

namespace corvane {
namespace {

TEST(FloatText, KeepsPrintfTextWhenItReadsBackExactly) {
    EXPECT_EQ(float_text(0.1), "0.100000");
    EXPECT_EQ(float_text(2.5), "2.500000");
    EXPECT_EQ(float_text(100.0), "100.000000");
    EXPECT_EQ(float_text(-0.0), "-0.000000");
    EXPECT_EQ(float_text(1.5), "1.500000");
    EXPECT_EQ(float_text(1e20), "100000000000000000000.000000");
}

TEST(FloatText, OtherwiseShortestExactFixedPoint) {
    EXPECT_EQ(float_text(1e-7), "0.0000001");
    EXPECT_EQ(float_text(0.123456789), "0.123456789");
    EXPECT_EQ(float_text(-0.00012345678), "-0.00012345678");
    EXPECT_EQ(float_text(5e-324).find('e'), std::string::npos);
    EXPECT_EQ(float_text(1e300).find('e'), std::string::npos);
}

TEST(FloatText, NonFiniteKeepPrintfWords) {
    EXPECT_EQ(float_text(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(float_text(-std::numeric_limits<double>::infinity()), "-inf");
    EXPECT_EQ(float_text(std::numeric_limits<double>::quiet_NaN()).substr(0, 3).find("nan") ==
                  std::string::npos,
              false);
}

TEST(FloatText, EveryFiniteValueReadsBackExactly) {
    std::mt19937_64 rng(20261207);
    for (int i = 0; i < 20000; ++i) {
        std::uint64_t bits = rng();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        if (!std::isfinite(value)) continue;
        const std::string text = float_text(value);
        ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
        const double back = std::strtod(text.c_str(), nullptr);
        ASSERT_EQ(std::memcmp(&back, &value, sizeof value), 0) << text;
    }
}

TEST(IntText, DecimalWithoutPadding) {
    EXPECT_EQ(int_text(0), "0");
    EXPECT_EQ(int_text(-5), "-5");
    EXPECT_EQ(int_text(2147483647), "2147483647");
    EXPECT_EQ(int_text(-2147483647 - 1), "-2147483648");
}

}  // namespace
}  // namespace corvane
