// The exact bytes of every WebSocket request the connectors build.

#include <gtest/gtest.h>

#include "mexc/mexc_requests.hpp"
#include "okx/okx_requests.hpp"
#include "okx/okx_rest.hpp"

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
    // A replay goes in as few requests as keep each one's "args" within the limit.
    const std::size_t one = nlohmann::json(c1.members).dump().size();
    const std::size_t two = 2 + one + 1 + one;  // [c1,c1]
    const auto fits = okx::subscription_requests("subscribe", {c1, c1, c1}, two);
    ASSERT_EQ(fits.size(), 2u);
    EXPECT_EQ(fits[0]["args"].size(), 2u);
    EXPECT_EQ(fits[0]["args"].dump().size(), two);
    EXPECT_EQ(okx::subscription_requests("subscribe", {c1, c1, c1}, two - 1).size(), 3u);
    EXPECT_EQ(okx::subscription_requests("subscribe", {c1, c1}).size(), 1u);
}

TEST(OkxRequests, OrderAndCancel) {
    okx::Order order{"o1",     "BTC-USDT", "buy", "1.500000", "3", "", "",
                     "market", "pxUsd",    {},    "",         "",  "", {}};
    EXPECT_EQ(
        wire(okx::order_request(order)),
        R"({"args":[{"ccy":"","instId":"BTC-USDT","ordType":"market","pxUsd":"1.500000","side":"buy","sz":"3","tdMode":""}],"id":"o1","op":"order"})");
    EXPECT_EQ(wire(okx::cancel_request({"m1", "o1", "", "BTC-USDT", {}})),
              R"({"args":[{"instId":"BTC-USDT","ordId":"o1"}],"id":"m1","op":"cancel-order"})");
    order.px_field = "px";
    order.inst_id_code = 10459;
    order.cl_ord_id = "b15";
    order.pos_side = "long";
    order.tgt_ccy = "base_ccy";
    order.reduce_only = true;
    EXPECT_EQ(
        wire(okx::order_request(order)),
        R"({"args":[{"ccy":"","clOrdId":"b15","instId":"BTC-USDT","instIdCode":10459,"ordType":"market","posSide":"long","px":"1.500000","reduceOnly":true,"side":"buy","sz":"3","tdMode":"","tgtCcy":"base_ccy"}],"id":"o1","op":"order"})");
    EXPECT_EQ(
        wire(okx::cancel_request({"m1", "", "b15", "BTC-USDT", 10459})),
        R"({"args":[{"clOrdId":"b15","instId":"BTC-USDT","instIdCode":10459}],"id":"m1","op":"cancel-order"})");
}

TEST(OkxRequests, NonUtf8ValuesAreRefusedNotSent) {
    EXPECT_THROW(wire(okx::cancel_request({"m", std::string("\xff", 1), "", "i", {}})),
                 nlohmann::json::type_error);
}

TEST(OkxRest, InstrumentListsAndWhatTheySay) {
    EXPECT_EQ(okx::instruments_request("SPOT", "").target, "/api/v5/public/instruments?instType=SPOT");
    EXPECT_EQ(okx::instruments_request("OPTION", okx::inst_family_of("BTC-USD-261225-100000-C"))
                  .target,
              "/api/v5/public/instruments?instType=OPTION&instFamily=BTC-USD");
    const auto listed = okx::instrument_codes_in(
        R"({"code":"0","msg":"","data":[{"instId":"A","instIdCode":1},)"
        R"({"instId":"B","instIdCode":"18446744073709551615"},)"
        R"({"instId":"C","instIdCode":"18446744073709551616"},)"
        R"({"instId":"D","instIdCode":"000000000000000000000001"},{"instId":"E"}]})");
    EXPECT_EQ(listed.codes, (std::map<std::string, std::uint64_t>{{"A", 1}, {"B", UINT64_MAX}}));
    EXPECT_EQ(listed.unusable, (std::set<std::string>{"C", "D", "E"}));
    try {
        okx::instrument_codes_in(R"({"code":"50011","msg":"Rate limit reached.","data":[]})");
        ADD_FAILURE() << "an error code read as a list";
    } catch (const okx::OkxError& e) {
        EXPECT_STREQ(e.what(), "OKX code 50011: Rate limit reached.");
    }
    EXPECT_THROW(okx::instrument_codes_in("<html>"), std::runtime_error);
}

TEST(MexcRequests, ChannelsAndMessages) {
    EXPECT_EQ(mexc::compose_channel({"spot@public.deals.v3.api", "BTCUSDT", ""}),
              "spot@public.deals.v3.api@BTCUSDT");
    EXPECT_EQ(mexc::compose_channel({"h", "s", "5"}), "h@s@5");
    EXPECT_EQ(wire(mexc::subscription_request({"a@b@", "c"})),
              R"({"method":"SUBSCRIPTION","params":["a@b@","c"]})");
    EXPECT_EQ(wire(mexc::unsubscription_request("a@b@")),
              R"({"method":"UNSUBSCRIPTION","params":["a@b@"]})");
    EXPECT_EQ(wire(mexc::ping_request()), R"({"method":"PING"})");
}

TEST(MexcRequests, ListenKeyJoinsTheUrlPercentEncoded) {
    EXPECT_EQ(mexc::with_listen_key("wss://h/ws", "abc"), "wss://h/ws?listenKey=abc");
    EXPECT_EQ(mexc::with_listen_key("wss://h/ws?a=b", "k/+= &"),
              "wss://h/ws?a=b&listenKey=k%2F%2B%3D%20%26");
}

TEST(MexcRequests, OrderParametersLeaveOutWhatWasNotGiven) {
    const ParamMap bare{{"ord_id", "a1"}, {"inst_id", "BTCUSDT"}, {"side", "BUY"}, {"sz", "2"}};
    EXPECT_EQ(mexc::order_params(bare),
              (ParamMap{{"quantity", "2"}, {"side", "BUY"}, {"symbol", "BTCUSDT"}}));
    ParamMap full = bare;
    full.insert({{"tdMode", "LIMIT"}, {"px", "1.5"}, {"cl_ord_id", "c1"}, {"ccy", "X"}});
    EXPECT_EQ(mexc::order_params(full), (ParamMap{{"newClientOrderId", "c1"},
                                                  {"price", "1.5"},
                                                  {"quantity", "2"},
                                                  {"side", "BUY"},
                                                  {"symbol", "BTCUSDT"},
                                                  {"type", "LIMIT"}}));
    EXPECT_EQ(mexc::order_id_params({{"inst_id", "BTCUSDT"}, {"cl_ord_id", "c1"}}),
              (ParamMap{{"origClientOrderId", "c1"}, {"symbol", "BTCUSDT"}}));
}

}  // namespace
}  // namespace corvane
