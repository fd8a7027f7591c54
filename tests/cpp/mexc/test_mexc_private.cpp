// A private MexcConnector end to end against the simulator: listen key, private stream,
// channel replay, pings, key renewal, orders and cancels over REST.

#include <gtest/gtest.h>

#include "core/rest/request_errors.hpp"
#include "mexc/mexc_connector.hpp"
#include "sim_process.hpp"

namespace corvane {
namespace {

using std::chrono::milliseconds;
using testing::eventually;

const Credentials kCreds{"unused-by-mexc", "mexc-test-key", "mexc-test-secret"};

// The REST requests the simulator received, less the clock measurements (GET /api/v3/time)
// that a connector makes before its first signed request.
std::vector<nlohmann::json> signed_requests(testing::SimProcess& sim) {
    std::vector<nlohmann::json> out;
    for (const auto& r : sim.requests()) {
        if (r["target"] != "/api/v3/time") out.push_back(r);
    }
    return out;
}

MexcSettings fast_settings(const testing::SimProcess& sim) {
    MexcSettings settings;
    settings.rest = sim.rest();
    settings.ping_interval = milliseconds(100);
    settings.listen_key_renewal = milliseconds(150);
    return settings;
}

std::vector<std::string> texts(const testing::SimProcess& sim) {
    std::vector<std::string> out;
    for (const auto& frame : sim.frames())
        out.push_back(frame.value("text", "<binary>"));
    return out;
}

int count(const std::vector<std::string>& items, const std::string& wanted) {
    return static_cast<int>(std::count(items.begin(), items.end(), wanted));
}

// Reads until a message containing `needle` arrives (bounded).
std::string read_until(BaseExchangeConnector& c, const std::string& needle) {
    std::string found;
    eventually([&] {
        auto message = c.take(milliseconds(50));
        if (message && message->payload.find(needle) != std::string::npos) found = message->payload;
        return !found.empty();
    });
    return found;
}

using MexcPrivate = testing::SimulatorTest;

TEST_F(MexcPrivate, ListenKeyStreamReplayRenewalAndOrders) {
    MexcConnector c(kCreds, fast_settings(*sim));
    c.subscribe({{"channel", "spot@private.orders.v3.api.pb"}});
    c.subscribe({{"channel", "spot@private.account.v3.api.pb"}});
    testing::StdoutCapture stdout_capture;
    c.connect(sim->ws_url("/ws"));
    EXPECT_EQ(stdout_capture.text(), "Connected MEXC private\n");
    ASSERT_EQ(c.current_listen_key().size(), 64u);

    // The replay holds both channels, then pings follow while the stream is open.
    ASSERT_TRUE(eventually([&] { return count(texts(*sim), R"({"method":"PING"})") >= 3; }));
    const auto frames = texts(*sim);
    EXPECT_EQ(
        frames.front(),
        R"({"method":"SUBSCRIPTION","params":["spot@private.orders.v3.api.pb","spot@private.account.v3.api.pb"]})");

    // The key is renewed repeatedly, each PUT naming it.
    ASSERT_TRUE(
        eventually([&] { return sim->get("/listen-keys").value(c.current_listen_key(), 0) >= 2; }));

    const auto placed = nlohmann::json::parse(c.place_order({{"ord_id", "a1"},
                                                             {"inst_id", "BTCUSDT"},
                                                             {"side", "BUY"},
                                                             {"sz", "2"},
                                                             {"px", "0.5"},
                                                             {"tdMode", "LIMIT"},
                                                             {"ccy", "ignored"}})
                                                  .value());
    EXPECT_EQ(placed["symbol"], "BTCUSDT");
    const std::string update = read_until(c, "C02__");
    ASSERT_FALSE(update.empty());
    const auto order_id = placed["orderId"].get<std::string>();
    EXPECT_NE(update.find(order_id), std::string::npos);
    const auto cancelled =
        c.cancel_order({{"msg_id", "m1"}, {"ord_id", order_id}, {"inst_id", "BTCUSDT"}});
    EXPECT_EQ(nlohmann::json::parse(cancelled.value())["status"], "CANCELED");
    ASSERT_FALSE(read_until(c, order_id).empty());  // the stream's update of the cancel
    c.disconnect();

    // Every REST request carried only its own parameters.
    std::vector<std::string> bodies;
    for (const auto& r : signed_requests(*sim)) {
        bodies.push_back(r["method"].get<std::string>() + " " + r["target"].get<std::string>() +
                         " " + r["body"].get<std::string>().substr(0, 40));
    }
    EXPECT_EQ(bodies.front().rfind("POST /api/v3/userDataStream signature=", 0), 0u);
    int puts = 0, posts = 0, deletes = 0;
    for (const auto& r : signed_requests(*sim)) {
        const std::string body = r["body"];
        if (r["method"] == "PUT") {
            ++puts;
            EXPECT_NE(body.find("listenKey=" + c.current_listen_key()), std::string::npos);
            EXPECT_EQ(body.find("symbol="), std::string::npos);
        } else if (r["target"] == "/api/v3/order") {
            (r["method"] == "POST" ? posts : deletes) += 1;
        }
    }
    EXPECT_GE(puts, 2);
    EXPECT_EQ(posts, 1);
    EXPECT_EQ(deletes, 1);
}

// A connect while the stream is live is refused and leaves the stream's listen key alone: it
// stays valid at the exchange, and disconnect() closes it.
TEST_F(MexcPrivate, ASecondConnectLeavesTheLiveStreamsKeyAlone) {
    MexcConnector c(kCreds, fast_settings(*sim));
    c.connect(sim->ws_url("/ws"));
    ASSERT_TRUE(eventually([&] { return c.is_connected(); }));
    const std::string key = c.current_listen_key();
    EXPECT_THROW(c.connect(sim->ws_url("/ws")), std::runtime_error);
    EXPECT_EQ(c.current_listen_key(), key);
    EXPECT_TRUE(sim->get("/listen-keys").contains(key));
    c.disconnect();
    EXPECT_FALSE(sim->get("/listen-keys").contains(key));
}

// The outcome of an order: the reply when the exchange took it, and otherwise an error that
// tells a refusal from a request that never left and from one whose outcome is unknown.
std::string order_error(MexcConnector& c, ParamMap order = {{"ord_id", "a1"},
                                                            {"inst_id", "BTCUSDT"},
                                                            {"side", "BUY"},
                                                            {"sz", "2"},
                                                            {"px", "1"},
                                                            {"tdMode", "LIMIT"}}) {
    try {
        c.place_order(order);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

TEST_F(MexcPrivate, EveryOrderOutcomeReachesTheCaller) {
    MexcSettings settings = fast_settings(*sim);
    settings.rest.timeout = milliseconds(1000);
    MexcConnector c(kCreds, settings);
    MexcConnector wrong_secret(Credentials{"", kCreds.api_secret, "wrong"}, settings);
    EXPECT_EQ(
        order_error(wrong_secret),
        R"(Request refused: HTTP 400: {"code":700002,"msg":"Signature for this request is not valid."})");
    sim->post("/fault?fault=status500&path=/api/v3/order");
    EXPECT_EQ(order_error(c),
              R"(Request outcome unknown: HTTP 500: {"code":500,"msg":"internal error"})");
    // A redirect is neither an answer nor a refusal: nothing says what became of the order.
    sim->post("/fault?fault=status302&path=/api/v3/order");
    EXPECT_EQ(order_error(c), "Request outcome unknown: HTTP 302: ");
    sim->post("/fault?fault=stall&path=/api/v3/order");
    EXPECT_EQ(order_error(c),
              "Request outcome unknown: request to localhost timed out after 1000 ms");
    sim->post("/fault?fault=drop&path=/api/v3/order");
    EXPECT_EQ(order_error(c).rfind("Request outcome unknown: read: ", 0), 0u);
    settings.rest.port = "1";
    MexcConnector unreachable(kCreds, settings);
    EXPECT_EQ(order_error(unreachable), "Request not sent: connect: Connection refused");
    EXPECT_EQ(signed_requests(*sim).size(), 5u);
}

TEST_F(MexcPrivate, OrderParametersOnTheWire) {
    MexcConnector c(kCreds, fast_settings(*sim));
    // Without "px" and "tdMode" the exchange refuses the order; the request went without them.
    EXPECT_EQ(
        order_error(c, {{"ord_id", "a1"}, {"inst_id", "BTCUSDT"}, {"side", "BUY"}, {"sz", "2"}})
            .rfind("Request refused: HTTP 400: ", 0),
        0u);
    const auto requests = signed_requests(*sim);
    ASSERT_EQ(requests.size(), 1u);
    const std::string body = requests[0]["body"];
    EXPECT_EQ(requests[0]["method"], "POST");
    EXPECT_EQ(requests[0]["target"], "/api/v3/order");
    EXPECT_EQ(body.rfind("quantity=2&side=BUY&signature=", 0), 0u) << body;
    EXPECT_NE(body.find("&symbol=BTCUSDT&timestamp="), std::string::npos) << body;
    EXPECT_EQ(body.find("type="), std::string::npos) << body;
}

TEST_F(MexcPrivate, ListenKeyRepliesThatCannotBeUsed) {
    for (const char* fault : {"empty", "no-listen-key", "array", "not-json"}) {
        sim->post(std::string("/fault?fault=") + fault + "&path=/api/v3/userDataStream");
        MexcConnector c(kCreds, fast_settings(*sim));
        try {
            c.connect(sim->ws_url("/ws"));
            ADD_FAILURE() << fault << ": connect did not throw";
        } catch (const RequestOutcomeUnknown& e) {
            EXPECT_EQ(std::string(e.what()).rfind(
                          "Request outcome unknown: no listenKey in the reply ", 0),
                      0u)
                << fault << ": " << e.what();
        }
        EXPECT_FALSE(c.is_running());
        EXPECT_THROW(c.take(milliseconds(0)), std::runtime_error);
    }
}

bool stream_ends(MexcConnector& c, milliseconds limit = milliseconds(10000)) {
    bool ended = false;
    eventually(
        [&] {
            try {
                c.take(milliseconds(50));
            } catch (const std::runtime_error&) {
                ended = true;
            }
            return ended;
        },
        limit);
    return ended;
}

TEST_F(MexcPrivate, PingsRacingAPeerCloseAreDropped) {
    MexcSettings settings = fast_settings(*sim);
    settings.ping_interval = milliseconds(20);
    MexcConnector c(std::nullopt, settings);
    ::testing::internal::CaptureStderr();
    c.connect(sim->ws_url("/raw"));
    ASSERT_TRUE(eventually([&] { return count(texts(*sim), R"({"method":"PING"})") >= 2; }));
    // The peer's close frame arrives, but the close never completes: the connection stays
    // closing until websocketpp gives up on it, and every ping meanwhile finds it so.
    sim->post("/hold-close?conn=" +
              std::to_string(sim->get("/connections").back()["conn"].get<int>()));
    EXPECT_TRUE(stream_ends(c, milliseconds(20000)));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("WebSocket error"), std::string::npos) << err;
}

TEST_F(MexcPrivate, DisconnectNeverWaitsForARestCallInFlight) {
    const auto disconnect_time = [](MexcConnector& c) {
        const auto start = std::chrono::steady_clock::now();
        c.disconnect();
        return std::chrono::steady_clock::now() - start;
    };
    MexcConnector c(kCreds, fast_settings(*sim));  // REST requests may take 5 s
    // The listen-key request of a connect stalls.
    sim->post("/fault?fault=stall&path=/api/v3/userDataStream");
    std::thread connecting([&] { EXPECT_ANY_THROW(c.connect(sim->ws_url("/ws"))); });
    ASSERT_TRUE(eventually([&] { return signed_requests(*sim).size() == 1; }));
    EXPECT_LT(disconnect_time(c), milliseconds(1500));
    connecting.join();

    // A renewal stalls.
    sim->reset();
    c.connect(sim->ws_url("/ws"));
    ASSERT_TRUE(eventually([&] { return !sim->frames().empty(); }));
    sim->post("/fault?fault=stall&path=/api/v3/userDataStream");
    ASSERT_TRUE(eventually([&] { return sim->get("/faults")[0]["remaining"] == 0; }));
    EXPECT_LT(disconnect_time(c), milliseconds(1500));
}

TEST_F(MexcPrivate, AFailedRenewalEndsTheConnection) {
    MexcConnector c(kCreds, fast_settings(*sim));
    c.connect(sim->ws_url("/ws"));
    ASSERT_TRUE(eventually([&] { return !sim->frames().empty(); }));
    ::testing::internal::CaptureStderr();
    sim->post("/fault?fault=status500&path=/api/v3/userDataStream");
    EXPECT_TRUE(stream_ends(c));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Error: listen key renewal: HTTP 500 {\"code\":500,\"msg\":\"internal "
                       "error\"}\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("Error:"), err.rfind("Error:")) << err;
}

TEST_F(MexcPrivate, ReconnectsReuseTheKeyAndDisconnectClosesIt) {
    MexcConnector c(kCreds, fast_settings(*sim));
    const std::size_t before = sim->get("/connections").size();
    for (std::size_t i = 0; i < 100; ++i) {
        c.connect(sim->ws_url("/ws?from=test"));
        ASSERT_TRUE(eventually([&] { return sim->get("/connections").size() == before + i + 1; }));
        const auto conn = sim->get("/connections").back();
        sim->post("/close?conn=" + std::to_string(conn["conn"].get<int>()));
        ASSERT_TRUE(stream_ends(c)) << "cycle " << i;
    }
    const auto keys = sim->get("/listen-keys");
    EXPECT_LE(keys.size(), 3u);
    const std::string key = c.current_listen_key();
    EXPECT_TRUE(keys.contains(key));
    c.disconnect();
    EXPECT_FALSE(sim->get("/listen-keys").contains(key));
    EXPECT_EQ(c.current_listen_key(), "");

    // Destruction closes the key as well.
    std::string last;
    {
        MexcConnector d(kCreds, fast_settings(*sim));
        d.connect(sim->ws_url("/ws"));
        last = d.current_listen_key();
        EXPECT_TRUE(sim->get("/listen-keys").contains(last));
    }
    EXPECT_FALSE(sim->get("/listen-keys").contains(last));
}

TEST_F(MexcPrivate, StalledStreamIsClosed) {
    MexcSettings settings = fast_settings(*sim);
    settings.ping_interval = milliseconds(60000);  // one ping at open, then quiet
    settings.stall_limit = milliseconds(300);
    MexcConnector c(std::nullopt, settings);
    c.connect(sim->ws_url("/raw"));  // records, never answers
    bool ended = false;
    ASSERT_TRUE(eventually([&] {
        try {
            c.take(milliseconds(50));
        } catch (const std::runtime_error&) {
            ended = true;
        }
        return ended;
    }));
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

TEST(MexcPrivateRegistry, UnsubscribeRemovesOnlyTheFirstRecord) {
    REQUIRE_SIM(sim);
    sim->reset();
    MexcConnector c(kCreds, fast_settings(*sim));
    c.subscribe({{"channel", "a"}});
    c.subscribe({{"channel", "a"}});
    c.subscribe({{"channel", "b"}});
    c.unsubscribe({{"channel", "a"}});
    c.connect(sim->ws_url("/ws"));
    ASSERT_TRUE(eventually([&] { return !sim->frames().empty(); }));
    EXPECT_EQ(sim->frames()[0]["text"], R"({"method":"SUBSCRIPTION","params":["a","b"]})");
}

}  // namespace
}  // namespace corvane
