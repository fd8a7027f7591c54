// OKX's event frames as a connection's handler reads them, fed as OKX sends them.

#include <gtest/gtest.h>

#include "core/text/inbound_json.hpp"
#include "okx/okx_events.hpp"

namespace corvane {
namespace {

using Kind = okx::Event::Kind;

okx::Event event(const std::string& frame) {
    return okx::event_of(parse_inbound_json(frame));
}

TEST(OkxEvents, TheLoginsAnswerIsAnAcceptanceOnlyWithCodeZero) {
    const auto accepted = event(R"({"event":"login","code":"0","msg":"","connId":"a4d3ae55"})");
    EXPECT_EQ(accepted.kind, Kind::login);
    EXPECT_TRUE(accepted.accepted);
    EXPECT_TRUE(accepted.answers_login());
    const auto refused =
        event(R"({"event":"error","code":"60009","msg":"Login failed.","connId":"a4d3ae55"})");
    EXPECT_EQ(refused.kind, Kind::error);
    EXPECT_FALSE(refused.accepted);
    EXPECT_TRUE(refused.answers_login());
    EXPECT_FALSE(event(R"({"event":"login","code":"60006","msg":""})").accepted);
    EXPECT_FALSE(event(R"({"event":"login","code":0})").accepted);  // a number is not "0"
}

TEST(OkxEvents, OnlyNotice64008AnnouncesAnUpgrade) {
    EXPECT_EQ(event(R"({"event":"notice","code":"64008","msg":"The connection will soon be )"
                    R"(closed for a service upgrade. Please reconnect.","connId":"a"})")
                  .kind,
              Kind::upgrade_notice);
    EXPECT_EQ(event(R"({"event":"notice","code":"64009","msg":""})").kind, Kind::other);
}

TEST(OkxEvents, AcknowledgementsAndWhatIsNoAnswer) {
    EXPECT_EQ(event(R"({"id":"1512","event":"subscribe",)"
                    R"("arg":{"channel":"tickers","instId":"BTC-USDT"},"connId":"a"})")
                  .kind,
              Kind::subscribed);
    EXPECT_EQ(event(R"({"event":"unsubscribe","arg":{"channel":"tickers"},"connId":"a"})").kind,
              Kind::unsubscribed);
    EXPECT_EQ(event(R"({"event":"channel-conn-count","channel":"orders","connCount":"2"})").kind,
              Kind::other);
    EXPECT_FALSE(event(R"({"event":"channel-conn-count"})").answers_login());
    EXPECT_EQ(event(R"(["event","login"])").kind, Kind::other);
    EXPECT_EQ(event("null").kind, Kind::other);
}

}  // namespace
}  // namespace corvane
