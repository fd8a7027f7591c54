// The connection life cycle under stress, in C++ so that the sanitizer builds see it: churn,
// peer closes, readers on other threads, teardown while data streams in.

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/inbound/event_reader.hpp"
#include "core/stream/session_state.hpp"
#include "mexc/mexc_connector.hpp"
#include "okx/okx_connector.hpp"
#include "sim_process.hpp"

namespace corvane {
namespace {

using std::chrono::milliseconds;
using testing::eventually;

// Reads until "No more messages" (bounded by `limit`), counting into `seen` as messages come.
void drain_into(BaseExchangeConnector& c, std::atomic<int>& seen, milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        try {
            if (c.take(milliseconds(20))) ++seen;
        } catch (const std::runtime_error&) {
            return;
        }
    }
    ADD_FAILURE() << "the stream did not end within " << limit.count() << " ms";
}

int drain(BaseExchangeConnector& c, milliseconds limit = milliseconds(10000)) {
    std::atomic<int> n{0};
    drain_into(c, n, limit);
    return n.load();
}

// Takes `count` messages within `limit`.
bool receives(BaseExchangeConnector& c, int count, milliseconds limit = milliseconds(10000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (int n = 0; n < count;) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (c.take(milliseconds(20))) ++n;
    }
    return true;
}

int last_connection(const testing::SimProcess& sim) {
    return sim.get("/connections").back()["conn"].get<int>();
}

class Lifecycle : public testing::SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        if (IsSkipped()) return;
        sim->post("/rate?value=500");
    }
    void TearDown() override {
        if (sim != nullptr) sim->reset();
    }
};

TEST(SessionState, OneEndingAndAnEarlyCloseWaitsForTheOpen) {
    using S = SessionState;
    using E = SessionEvent;
    const auto run = [](std::initializer_list<E> events) {
        S s = S::connecting;
        for (E event : events)
            s = session_transition(s, event).value_or(s);
        return s;
    };
    EXPECT_EQ(run({E::opened}), S::open);
    EXPECT_EQ(run({E::close_asked}), S::unwanted);  // disconnect() before the handshake
    EXPECT_EQ(run({E::close_asked, E::opened, E::close_asked}), S::closing);
    EXPECT_EQ(run({E::opened, E::close_asked, E::close_asked}), S::closing);
    EXPECT_EQ(run({E::opened, E::ended, E::opened, E::close_asked}), S::ended);
    EXPECT_FALSE(session_transition(S::ended, E::ended));  // a second ending event is not queued
    EXPECT_TRUE(takes_sends(S::closing));  // what was sent before the close still goes out
    EXPECT_FALSE(takes_sends(S::unwanted));
}

TEST_F(Lifecycle, ChurnWithPeerClosesAndStreams) {
    OkxConnector c;
    c.subscribe({{"channel", "trades"}, {"inst_id", "BTC-USDT"}});
    for (int i = 0; i < 30; ++i) {
        c.connect(sim->ws_url("/ws/v5/public"));
        ASSERT_TRUE(receives(c, 20)) << "cycle " << i;
        if (i % 3 == 0) {
            sim->post("/close?conn=" + std::to_string(last_connection(*sim)));
            drain(c);
        } else if (i % 3 == 1) {
            sim->post("/abort?conn=" + std::to_string(last_connection(*sim)));
            drain(c);
        }
        c.disconnect();
        drain(c);  // what the last connection left queued, so the next cycle reads its own
    }
}

TEST_F(Lifecycle, DisconnectRacingTheOpen) {
    MexcConnector c;
    c.subscribe(
        {{"host", "spot@public.aggre.deals.v3.api.pb"}, {"symbol", "100ms"}, {"level", "BTCUSDT"}});
    for (int i = 0; i < 40; ++i) {
        c.connect(sim->ws_url("/ws"));
        if (i % 2 == 1) std::this_thread::yield();
        c.disconnect();
    }
    drain(c);
    c.connect(sim->ws_url("/ws"));
    EXPECT_TRUE(receives(c, 5));
}

TEST_F(Lifecycle, ReadersOnOtherThreadsEndOnDisconnect) {
    OkxConnector c;
    c.subscribe({{"channel", "books5"}, {"inst_id", "BTC-USDT"}});
    c.connect(sim->ws_url("/ws/v5/public"));
    std::atomic<int> total{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] { drain_into(c, total, milliseconds(30000)); });
    }
    // Disconnect only once data is flowing, so the readers have something to drain.
    const bool flowing = eventually([&] { return total.load() > 0; });
    c.disconnect();  // every reader drains what is left and ends
    for (auto& t : readers)
        t.join();
    EXPECT_TRUE(flowing);
}

TEST_F(Lifecycle, ReadersWakePromptlyAfterABusyStreamWasDisconnected) {
    OkxConnector c;
    c.subscribe({{"channel", "trades"}, {"inst_id", "BTC-USDT"}});
    sim->post("/rate?value=50000");
    for (int i = 0; i < 40; ++i) {  // the loop stops while a reader is being woken
        c.connect(sim->ws_url("/ws/v5/public"));
        std::atomic<int> seen{0};
        std::thread reader([&] { drain_into(c, seen, milliseconds(30000)); });
        EXPECT_TRUE(eventually([&] { return seen.load() > 50; }));
        c.disconnect();
        reader.join();
    }
    sim->post("/rate?value=2");
    c.connect(sim->ws_url("/ws/v5/public"));
    for (int i = 0; i < 3; ++i) {  // each long wait ends with an arrival, not with its time limit
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(testing::take_data(c, milliseconds(5000)).has_value());
        EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(2000)) << "message " << i;
    }
}

TEST_F(Lifecycle, WhatWasSentBeforeDisconnectGoesOutAndPrivateChannelsReplayAfterIt) {
    OkxConnector c(Credentials{"okx-test-key", "okx-test-secret", "okx-test-passphrase"},
                   OkxConnector::default_keepalive());
    c.subscribe({{"channel", "orders"}, {"inst_type", "ANY"}});
    testing::StdoutCapture quiet;  // the login replies
    for (int i = 0; i < 5; ++i) {
        sim->reset();
        c.connect(sim->ws_url("/ws/v5/private"));
        // The replay follows the login reply on every connection, the first one or not.
        ASSERT_TRUE(eventually([&] { return sim->frames().size() == 2; })) << "cycle " << i;
        EXPECT_EQ(sim->frames()[1]["text"],
                  R"({"args":[{"channel":"orders","instType":"ANY"}],"op":"subscribe"})");
        c.cancel_order({{"msg_id", "m" + std::to_string(i)},
                        {"ord_id", "1"},
                        {"inst_id", "X"},
                        {"inst_id_code", "1"}});
        c.disconnect();  // at once: the cancel still reaches the exchange, before the close
        ASSERT_EQ(sim->frames().size(), 3u) << "cycle " << i;
        EXPECT_NE(sim->frames()[2]["text"].get<std::string>().find("cancel-order"),
                  std::string::npos);
        drain(c);
    }
}

TEST_F(Lifecycle, DestroyedWhileDataStreamsIn) {
    for (int i = 0; i < 10; ++i) {
        auto c = std::make_unique<OkxConnector>();
        c->subscribe({{"channel", "trades"}, {"inst_id", "BTC-USDT"}});
        c->subscribe({{"channel", "tickers"}, {"inst_id", "BTC-USDT"}});
        c->connect(sim->ws_url("/ws/v5/public"));
        ASSERT_TRUE(receives(*c, 10));
        c.reset();  // stops, joins and frees with frames still arriving
    }
}

TEST_F(Lifecycle, SendsFromManyThreadsWhileReading) {
    OkxConnector c;
    c.subscribe({{"channel", "tickers"}, {"inst_id", "BTC-USDT"}});
    c.connect(sim->ws_url("/ws/v5/public"));
    ASSERT_TRUE(receives(c, 5));
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t) {
        senders.emplace_back([&c, t] {
            for (int i = 0; i < 25; ++i) {
                c.subscribe({{"channel", "trades"}, {"inst_id", "X" + std::to_string(t)}});
                c.unsubscribe({{"channel", "trades"}, {"inst_id", "X" + std::to_string(t)}});
            }
        });
    }
    for (auto& t : senders)
        t.join();
    ASSERT_TRUE(eventually([&] { return sim->frames().size() >= 1 + 4 * 50; }));
    c.disconnect();
}

// What the asyncio binding does with one iterator read from two event loops in turn and freed on
// a third thread: arm, wait for the descriptor, take. Only the run thread ever runs the
// connection's handlers (checked in this build), and each message goes to exactly one take.
TEST_F(Lifecycle, AnEventReaderUsedFromThreadsInTurnWhileMessagesFlow) {
    OkxConnector c;
    c.subscribe({{"channel", "trades"}, {"inst_id", "BTC-USDT"}});
    c.connect(sim->ws_url("/ws/v5/public"));
    auto reader = std::make_unique<EventReader>(c.queue());
    int taken = 0;
    const auto turn = [&] {
        for (int n = 0; n < 50;) {
            if (c.try_take()) {
                ++n;
            } else if (reader->arm()) {
                pollfd ready{reader->fd(), POLLIN, 0};
                ASSERT_EQ(::poll(&ready, 1, 10000), 1) << "no message within 10 s";
                reader->clear();
            }
        }
        taken += 50;
    };
    for (int i = 0; i < 6; ++i) {
        std::thread(turn).join();
    }
    reader->arm();  // left armed, then freed elsewhere while messages still come
    std::thread([&reader] { reader.reset(); }).join();
    c.disconnect();
    EXPECT_EQ(taken, 300);
}

// Switch-overs by age, one after another, while another thread subscribes and unsubscribes (sent
// on every open connection) and the reader takes: each connection's handlers on the stream's
// thread (checked in this build), and every connection ends with exactly one event.
TEST_F(Lifecycle, SwitchOversWhileSubscribingAndReading) {
    sim->post("/rate?value=500");
    testing::StdoutCapture registry_lines;
    OkxConnector c;
    c.subscribe({{"channel", "trades"}, {"inst_id", "BTC-USDT"}});
    c.connect(sim->ws_url("/ws/v5/public"));
    c.set_max_connection_age(0.2);
    std::atomic<bool> done{false};
    std::thread subscriber([&] {
        while (!done.load()) {
            c.subscribe({{"channel", "tickers"}, {"inst_id", "ETH-USDT"}});
            c.unsubscribe({{"channel", "tickers"}, {"inst_id", "ETH-USDT"}});
            std::this_thread::sleep_for(milliseconds(2));  // load, not synchronisation
        }
    });
    std::map<std::uint32_t, int> ends;
    int switches = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (switches < 3 && std::chrono::steady_clock::now() < deadline) {
        const auto item = c.take(milliseconds(20));
        if (item && item->kind == InboundMessage::Kind::switched) ++switches;
        if (item && item->kind == InboundMessage::Kind::close) ++ends[item->connection];
    }
    done.store(true);
    subscriber.join();
    c.disconnect();
    try {
        while (true) {
            const auto item = c.take(milliseconds(0));
            if (item && (item->kind == InboundMessage::Kind::close ||
                         item->kind == InboundMessage::Kind::fail)) {
                ++ends[item->connection];
            }
        }
    } catch (const std::runtime_error&) {
        // "No more messages": everything was taken
    }
    EXPECT_EQ(switches, 3);
    EXPECT_EQ(ends.size(), 4u);  // the first three replaced, the fourth ended by disconnect()
    for (const auto& [connection, count] : ends)
        EXPECT_EQ(count, 1) << "connection " << connection;
}

}  // namespace
}  // namespace corvane
