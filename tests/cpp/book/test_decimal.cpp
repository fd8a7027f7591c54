// Exact decimals as the exchanges write prices and sizes: equal values compare equal whatever
// their zeros, order is exact far past a double's digits, and anything not a plain non-negative
// decimal is refused.

#include <gtest/gtest.h>

#include <string>

#include "core/book/decimal.hpp"

namespace corvane::book {
namespace {

Decimal d(const char* text) {
    const std::optional<Decimal> value = Decimal::parse(text);
    EXPECT_TRUE(value) << text;
    return value.value_or(Decimal());
}

TEST(Decimal, EqualValuesAreEqualWhateverTheirZeros) {
    EXPECT_EQ(d("0.10"), d("0.1"));
    EXPECT_EQ(d("100"), d("100.000"));
    EXPECT_EQ(d("007.50"), d("7.5"));
    EXPECT_EQ(d("0.000"), d("0"));
    EXPECT_TRUE(d("0.00000000").is_zero());
    EXPECT_NE(d("0.1"), d("0.01"));
    EXPECT_EQ(compare(d("1.10"), d("1.1")), 0);
}

TEST(Decimal, CanonicalText) {
    EXPECT_EQ(d("0.10").text(), "0.1");
    EXPECT_EQ(d("93180.18").text(), "93180.18");
    EXPECT_EQ(d("0.00000010").text(), "0.0000001");
    EXPECT_EQ(d("100.000").text(), "100");
    EXPECT_EQ(d("000").text(), "0");
    EXPECT_EQ(d("1234567890123456789").text(), "1234567890123456789");
    EXPECT_EQ(d("0.000000000000000001").text(), "0.000000000000000001");
}

TEST(Decimal, OrderIsExactWhereDoublesRound) {
    // Both round to the same double.
    EXPECT_LT(d("0.100000000000000001"), d("0.100000000000000002"));
    EXPECT_LT(d("9999999999999999998"), d("9999999999999999999"));
    EXPECT_GT(d("1000000000000000000"), d("999999999999999999.9"));
    EXPECT_LT(d("0.000000000000000001"), d("0.00000000000000001"));
    EXPECT_GT(d("2"), d("1.999999999999999999"));
    EXPECT_LT(d("0"), d("0.000000000000000001"));
}

TEST(Decimal, RefusesWhatIsNotAPlainNonNegativeDecimal) {
    for (const char* text :
         {"", " ", "-1", "+1", "-0.5", "1e5", "1E-3", "0x10", ".5", "5.", ".", "1.2.3", "1,5",
          "1 ", " 1", "nan", "inf", "١", "12a", "0.5\n", "--1",
          "12345678901234567890",             // 20 significant digits
          "18446744073709551616",             // past 64 bits
          "0.0000000000000000001",            // 19 decimals
          "99999999999999999999999999999999999999999999999999999999999999999"}) {
        EXPECT_FALSE(Decimal::parse(text)) << '"' << text << '"';
    }
    EXPECT_FALSE(Decimal::parse(std::string_view("1\0", 2)));
    EXPECT_TRUE(Decimal::parse("1.000000000000000001"));  // 19 digits, 18 decimals: fits
    // Leading and trailing zeros are not significant digits.
    EXPECT_TRUE(Decimal::parse("0000000000000000000000001.5000000000000000000000000"));
    EXPECT_FALSE(Decimal::parse(std::string(65, '1')));
}

}  // namespace
}  // namespace corvane::book
