// The exact bytes of every WebSocket request the connectors build.

#include <gtest/gtest.h>

#include "mexc/mexc_requests.hpp"
#include "okx/okx_requests.hpp"

namespace corvane {
namespace {

std::string wire(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
}

TEST(OkxRequests, LoginListsItsMembersInByteOrder) {
    EXPECT_EQ(
        wire(okx::login_request("K\"ey", "pa\\ss", "SIGN=", "1700000000")),
        R"({"args":[{"apiKey":"K\"ey","passphrase":"pa\\ss","sign":"SIGN=","timestamp":"1700000000"}],"op":"login"})");
}

okx::ChannelArg arg(std::map<std::string, std::string> members) {
    return okx::ChannelArg{std::move(members)};
}

TEST(OkxRequests, SubscriptionsAndReplays) {
    EXPECT_EQ(wire(okx::subscription_request(
                  "subscribe", {arg({{"instId", "BTC-USDT"}, {"channel", "tickers"}})})),
              R"({"args":[{"channel":"tickers","instId":"BTC-USDT"}],"op":"subscribe"})");
    const auto c1 = arg({{"channel", "c1"}, {"instId", "i1"}});
    EXPECT_EQ(
        wire(okx::subscription_request("subscribe",
                                       {c1, arg({{"channel", "c2"}, {"instId", "i2"}}), c1})),
        R"({"args":[{"channel":"c1","instId":"i1"},{"channel":"c2","instId":"i2"},{"channel":"c1","instId":"i1"}],"op":"subscribe"})");
    EXPECT_EQ(wire(okx::subscription_request("unsubscribe", {arg({{"channel", "orders"}})})),
              R"({"args":[{"channel":"orders"}],"op":"unsubscribe"})");
}

TEST(OkxRequests, OrderAndCancel) {
    const okx::Order order{"o1", "BTC-USDT", "buy", "1.500000", "3", "", "", "market", "pxUsd", {}};
    EXPECT_EQ(
        wire(okx::order_request(order)),
        R"({"args":[{"ccy":"","instId":"BTC-USDT","ordType":"market","pxUsd":"1.500000","side":"buy","sz":"3","tdMode":""}],"id":"o1","op":"order"})");
    EXPECT_EQ(wire(okx::cancel_request("m1", "o1", "BTC-USDT")),
              R"({"args":[{"instId":"BTC-USDT","ordId":"o1"}],"id":"m1","op":"cancel-order"})");
}

TEST(OkxRequests, NonUtf8ValuesAreRefusedNotSent) {
    EXPECT_THROW(wire(okx::cancel_request("m", std::string("\xff", 1), "i")),
                 nlohmann::json::type_error);
}

TEST(MexcRequests, ChannelsAndMessages) {
    EXPECT_EQ(mexc::compose_channel({"spot@public.deals.v3.api", "BTCUSDT", ""}),
              "spot@public.deals.v3.api@BTCUSDT");
    EXPECT_EQ(mexc::compose_channel({"h", "s", "5"}), "h@s@5");
    EXPECT_EQ(wire(mexc::subscription_request({"a@b@", "c"})),
              R"({"method":"SUBSCRIPTION","params":["a@b@","c"]})");
    EXPECT_EQ(wire(mexc::unsubscription_request("a@b@")),
              R"({"method":"UNSUBSCRIPTION","params":[["a@b@"]]})");
    EXPECT_EQ(wire(mexc::ping_request()), R"({"method":"PING"})");
}

TEST(MexcRequests, ListenKeyJoinsTheUrlPercentEncoded) {
    EXPECT_EQ(mexc::with_listen_key("wss://h/ws", "abc"), "wss://h/ws?listenKey=abc");
    EXPECT_EQ(mexc::with_listen_key("wss://h/ws?a=b", "k/+= &"),
              "wss://h/ws?a=b&listenKey=k%2f%2b%3d%20%26");
}

TEST(MexcRequests, OrderParameters) {
    EXPECT_EQ(mexc::order_params("BTCUSDT", "BUY", "", "2", ""), (ParamMap{{"price", ""},
                                                                           {"quantity", "2"},
                                                                           {"side", "BUY"},
                                                                           {"symbol", "BTCUSDT"},
                                                                           {"type", ""}}));
    EXPECT_EQ(mexc::cancel_params("BTCUSDT", "42"),
              (ParamMap{{"orderId", "42"}, {"symbol", "BTCUSDT"}}));
}

}  // namespace
}  // namespace corvane
