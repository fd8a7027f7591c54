// The signed REST request: its exact bytes, the simulator's independent check, and every way
// an exchange can fail to answer.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/rest/https_client.hpp"
#include "core/text/url_encode.hpp"
#include "mexc/rest_signing.hpp"
#include "mexc/signed_rest.hpp"
#include "sim_process.hpp"

namespace corvane {
namespace {

using std::chrono::milliseconds;

const char kKey[] = "mexc-test-key";
const char kSecret[] = "mexc-test-secret";

// MEXC documents upper-case hex for the percent-encoding it signs (a batch's JSON above all).
TEST(RestSigning, PercentEncodingIsUppercaseAndByteWise) {
    EXPECT_EQ(url_encode("aZ09-._~"), "aZ09-._~");
    EXPECT_EQ(url_encode(" /:é&="), "%20%2F%3A%C3%A9%26%3D");
    EXPECT_EQ(mexc::build_query_string({}), "");
    EXPECT_EQ(mexc::build_query_string({{"b", ""}, {"a", "x y"}}), "a=x%20y&b=");
}

TEST(RestSigning, HexSignatureOfTheSignedText) {
    // RFC 4231 test case 2, written in lowercase hex.
    EXPECT_EQ(mexc::hmac_sha256_hex("Jefe", "what do ya want for nothing?"),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

TEST(RestSigning, TimestampReplacedAndSignatureInsertedInKeyOrder) {
    const auto s = mexc::sign_params({{"symbol", "BTCUSDT"},
                                      {"side", "BUY"},
                                      {"type", "LIMIT"},
                                      {"quantity", "1"},
                                      {"price", "0.5"},
                                      {"timestamp", "old"}},
                                     kSecret, 1700000000123);
    EXPECT_EQ(s.signed_text,
              "price=0.5&quantity=1&side=BUY&symbol=BTCUSDT&timestamp=1700000000123&type=LIMIT");
    const std::string sig = mexc::hmac_sha256_hex(kSecret, s.signed_text);
    EXPECT_EQ(s.body, "price=0.5&quantity=1&side=BUY&signature=" + sig +
                          "&symbol=BTCUSDT&timestamp=1700000000123&type=LIMIT");

    const auto empty = mexc::sign_params({}, kSecret, 5);
    EXPECT_EQ(empty.signed_text, "timestamp=5");
    EXPECT_EQ(empty.body,
              "signature=" + mexc::hmac_sha256_hex(kSecret, "timestamp=5") + "&timestamp=5");

    // A caller's "signature" is signed over, then replaced.
    const auto given = mexc::sign_params({{"signature", "x"}}, kSecret, 5);
    EXPECT_EQ(given.signed_text, "signature=x&timestamp=5");
    EXPECT_EQ(given.body,
              "signature=" + mexc::hmac_sha256_hex(kSecret, given.signed_text) + "&timestamp=5");
}

TEST(RestRequest, WireFormWithAFixedClock) {
    const std::string text = https::wire_text(
        {"api.mexc.com"},
        mexc::signed_request("DELETE", "/api/v3/order", "KEY", kSecret,
                             {{"symbol", "BTCUSDT"}, {"orderId", "42"}}, 1700000000000));
    const std::string signed_text = "orderId=42&symbol=BTCUSDT&timestamp=1700000000000";
    const std::string body = "orderId=42&signature=" + mexc::hmac_sha256_hex(kSecret, signed_text) +
                             "&symbol=BTCUSDT&timestamp=1700000000000";
    EXPECT_EQ(text,
              "DELETE /api/v3/order HTTP/1.1\r\nHost: api.mexc.com\r\n"
              "User-Agent: Boost.Beast\r\nX-MEXC-APIKEY: KEY\r\n"
              "Content-Type: application/json\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\n\r\n" + body);
}

class RestAgainstSimulator : public testing::RestSimulatorTest {
protected:
    https::Reply order(unsigned n) {
        return mexc::send_signed(sim->rest(), "POST", "/api/v3/order", kKey, kSecret,
                                 {{"symbol", "BTCUSDT"},
                                  {"side", "BUY"},
                                  {"type", "LIMIT"},
                                  {"quantity", "1"},
                                  {"price", "1"},
                                  {"newClientOrderId", "n" + std::to_string(n)}});
    }

    std::size_t orders_received() const {
        std::size_t count = 0;
        for (const auto& r : sim->requests()) count += r["target"] == "/api/v3/order";
        return count;
    }

    std::string call(const std::string& method, const std::string& key, ParamMap params = {},
                     milliseconds timeout = milliseconds(5000)) {
        return mexc::send_signed_request(sim->rest(timeout), method, "/api/v3/userDataStream", key,
                                         kSecret, std::move(params));
    }
};

TEST_F(RestAgainstSimulator, SignatureAcceptedByTheIndependentCheck) {
    ::testing::internal::CaptureStderr();
    const auto reply = nlohmann::json::parse(call("POST", kKey));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(reply.contains("listenKey"));
    const auto renewed =
        nlohmann::json::parse(call("PUT", kKey, {{"listenKey", reply["listenKey"]}}));
    EXPECT_EQ(renewed, reply);
    const auto recorded = sim->requests();
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[0]["method"], "POST");
    EXPECT_EQ(recorded[1]["method"], "PUT");
    EXPECT_EQ(recorded[0]["headers"][0], nlohmann::json({"Host", "localhost"}));
    EXPECT_EQ(recorded[0]["headers"][2], nlohmann::json({"X-MEXC-APIKEY", kKey}));
}

TEST_F(RestAgainstSimulator, ErrorRepliesComeBackAsBodies) {
    EXPECT_EQ(call("POST", "wrong-key"), R"({"code":10072,"msg":"Api key info invalid"})");
    EXPECT_EQ(mexc::send_signed_request(sim->rest(), "POST", "/api/v3/userDataStream", kKey,
                                        "wrong-secret", {}),
              R"({"code":700002,"msg":"Signature for this request is not valid."})");
    sim->post("/fault?fault=status500");
    EXPECT_EQ(call("POST", kKey), R"({"code":500,"msg":"internal error"})");
}

TEST_F(RestAgainstSimulator, FailuresPrintOneErrorLineAndReturnEmpty) {
    for (const char* fault : {"stall", "drop", "truncated", "huge"}) {
        sim->post(std::string("/fault?fault=") + fault);
        ::testing::internal::CaptureStderr();
        const std::string body = call("POST", kKey, {}, milliseconds(1000));
        EXPECT_TRUE(body.empty()) << fault << ": " << body.size() << " " << body.substr(0, 80);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind("Error: ", 0), 0u) << fault << ": " << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << fault << ": " << err;
    }
}

TEST_F(RestAgainstSimulator, RefusedConnectionAndHeaderInjection) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(mexc::send_signed_request({"localhost", "1", milliseconds(2000)}, "POST", "/x", kKey,
                                        kSecret, {}),
              "");
    EXPECT_EQ(call("POST", "key\r\nX-Evil: 1"), "");
    EXPECT_EQ(call("POST", std::string("key\0x", 5)), "");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 3) << err;
    EXPECT_NE(err.find("Error: connect: Connection refused"), std::string::npos) << err;
    EXPECT_NE(err.find("Error: API key contains CR, LF or NUL"), std::string::npos) << err;
    EXPECT_TRUE(sim->requests().empty());
}

TEST_F(RestAgainstSimulator, ARunOfCallsTakesOneHandshake) {
    for (unsigned n = 0; n < 20; ++n) ASSERT_TRUE(order(n).succeeded()) << n;
    EXPECT_EQ(sim->get("/rest")["handshakes"], 1);
    EXPECT_EQ(orders_received(), 20u);
}

TEST_F(RestAgainstSimulator, AnAnswerIsTimedFromItsWriteOnAnOpenConnection) {
    const auto asked = std::chrono::system_clock::now();
    const https::Reply reply = order(0);  // the first over a new connection
    const auto returned = std::chrono::system_clock::now();
    ASSERT_TRUE(reply.succeeded());
    ASSERT_TRUE(reply.written_at && reply.answered_at);
    EXPECT_LE(asked, *reply.written_at);
    EXPECT_LE(*reply.written_at, *reply.answered_at);
    EXPECT_LE(*reply.answered_at, returned);
    EXPECT_EQ(sim->get("/rest")["handshakes"], 1);
}

TEST_F(RestAgainstSimulator, CallsFromSeveralThreadsAtOnceEachGoOutOnce) {
    std::vector<std::thread> threads;
    std::atomic<unsigned> succeeded{0};
    for (unsigned t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (unsigned n = 0; n < 10; ++n) succeeded += order(t * 100 + n).succeeded();
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(succeeded, 60u);
    EXPECT_EQ(orders_received(), 60u);
    EXPECT_LE(sim->get("/rest")["handshakes"], 4);  // at most four connections to a host
}

// The server closing a kept-alive connection between calls, cleanly or by a reset, before the
// next request could be read: that request goes out once, on a new connection that resumes the
// TLS session.
TEST_F(RestAgainstSimulator, AConnectionTheServerClosedIsReplacedAndNothingGoesTwice) {
    ASSERT_TRUE(order(1).succeeded());
    for (const char* how : {"fin", "rst"}) {
        ASSERT_EQ(sim->post(std::string("/rest?drop-idle=") + how)["dropped"], 1) << how;
        const auto reply = order(2);
        EXPECT_TRUE(reply.succeeded()) << how << ": " << reply.failure;
    }
    EXPECT_EQ(orders_received(), 3u);
    const auto counts = sim->get("/rest");
    EXPECT_EQ(counts["handshakes"], 3);
    EXPECT_GE(counts["resumed"], 2);
}

// Read and carried out, then the connection lost: the outcome is unknown, and the request is
// not sent again.
TEST_F(RestAgainstSimulator, ARequestThatMayHaveArrivedIsNeverResent) {
    ASSERT_TRUE(order(1).succeeded());
    sim->post("/fault?fault=stale-after&path=/api/v3/order");
    const auto reply = order(2);
    EXPECT_EQ(reply.outcome, https::Reply::Outcome::unknown) << reply.failure;
    EXPECT_EQ(orders_received(), 2u);
    EXPECT_TRUE(order(3).succeeded());
}

// Four calls stalled on the four connections a host may have: a fifth waits for one and, when
// its time is up, fails as never sent. The stalled ones end at their own deadline, unknown.
TEST_F(RestAgainstSimulator, ACallWaitingForAConnectionKeepsItsTimeBound) {
    sim->post("/fault?fault=stall&path=/api/v3/order&count=4");
    std::vector<https::Reply> stalled(4);
    std::vector<std::thread> threads;
    for (unsigned n = 0; n < 4; ++n) {
        threads.emplace_back([&, n] {
            stalled[n] = mexc::send_signed(sim->rest(milliseconds(3000)), "POST", "/api/v3/order",
                                           kKey, kSecret, {{"symbol", "BTCUSDT"}});
        });
    }
    ASSERT_TRUE(testing::eventually([&] { return orders_received() == 4; }));
    const auto waited = mexc::send_signed(sim->rest(milliseconds(300)), "POST", "/api/v3/order",
                                          kKey, kSecret, {{"symbol", "BTCUSDT"}});
    EXPECT_EQ(waited.outcome, https::Reply::Outcome::not_sent) << waited.failure;
    EXPECT_EQ(waited.failure, "request to localhost timed out after 300 ms");
    for (auto& thread : threads) thread.join();
    for (const auto& reply : stalled) EXPECT_EQ(reply.outcome, https::Reply::Outcome::unknown);
    EXPECT_EQ(orders_received(), 4u);
    EXPECT_TRUE(order(5).succeeded());
}

}  // namespace
}  // namespace corvane
