// The book's two sides: best first, levels set, replaced and removed exactly, and a 400-level
// book's footprint.

#include <gtest/gtest.h>

#include <string>

#include "core/book/order_book.hpp"

namespace corvane::book {
namespace {

Level lv(const char* price, const char* size) {
    return Level{*Decimal::parse(price), *Decimal::parse(size)};
}

std::string side_text(const OrderBook& book, Side side) {
    std::string out;
    for (const Level& level : book.levels(side))
        out += level.price.text() + ":" + level.size.text() + " ";
    return out;
}

TEST(OrderBook, SidesStayBestFirstAndZeroRemoves) {
    OrderBook book;
    book.apply(Side::bid, {lv("100.5", "1"), lv("101", "2"), lv("99", "3")});
    book.apply(Side::ask, {lv("103", "1"), lv("102", "2"), lv("104", "3")});
    EXPECT_EQ(side_text(book, Side::bid), "101:2 100.5:1 99:3 ");
    EXPECT_EQ(side_text(book, Side::ask), "102:2 103:1 104:3 ");
    book.apply(Side::bid, lv("100.50", "7"));  // same level, other zeros
    book.apply(Side::ask, lv("102.0", "0"));
    book.apply(Side::ask, lv("105", "0.000"));  // removing what is not there changes nothing
    EXPECT_EQ(side_text(book, Side::bid), "101:2 100.5:7 99:3 ");
    EXPECT_EQ(side_text(book, Side::ask), "103:1 104:3 ");
    EXPECT_EQ(book.best(Side::bid)->price, *Decimal::parse("101"));
    EXPECT_EQ(book.best(Side::ask)->price, *Decimal::parse("103"));
    ASSERT_EQ(book.top(Side::bid, 2).size(), 2u);
    EXPECT_EQ(book.top(Side::bid, 2)[1].size.text(), "7");
    EXPECT_EQ(book.top(Side::ask, 10).size(), 2u);
}

TEST(OrderBook, ReplaceTakesExactlyTheSnapshot) {
    OrderBook book;
    book.apply(Side::bid, lv("1", "1"));
    book.replace({lv("9", "1"), lv("10", "2"), lv("8", "0")}, {lv("12", "1"), lv("11", "5")});
    EXPECT_EQ(side_text(book, Side::bid), "10:2 9:1 ");
    EXPECT_EQ(side_text(book, Side::ask), "11:5 12:1 ");
    EXPECT_FALSE(book.crossed());
    book.apply(Side::bid, lv("11", "1"));  // best bid at the best ask
    EXPECT_TRUE(book.crossed());
    book.clear();
    EXPECT_EQ(book.best(Side::bid), nullptr);
    EXPECT_FALSE(book.crossed());
}

// Measured: sizeof(Level) 32, a 400-level book (400 a side, after a snapshot and 10,000
// updates) 32,832 bytes with the vectors' spare capacity
// (512 a side reserved).
TEST(OrderBook, FourHundredLevelsFitWellUnder64KiB) {
    OrderBook book;
    std::vector<Level> bids;
    std::vector<Level> asks;
    for (int i = 0; i < 400; ++i) {
        bids.push_back(lv(std::to_string(50000 - i).c_str(), "1.5"));
        asks.push_back(lv(std::to_string(50001 + i).c_str(), "2.25"));
    }
    book.replace(bids, asks);
    for (int i = 0; i < 10000; ++i) {  // levels leave and come back at the far end
        const std::string far = std::to_string(49601 - i % 3);
        book.apply(Side::bid, lv(far.c_str(), i % 2 == 0 ? "1" : "0"));
    }
    EXPECT_EQ(sizeof(Level), 32u);
    EXPECT_GE(book.levels(Side::bid).size(), 400u);
    EXPECT_LT(book.memory_bytes(), 48u * 1024);
    RecordProperty("memory_bytes", static_cast<int>(book.memory_bytes()));
}

}  // namespace
}  // namespace corvane::book
