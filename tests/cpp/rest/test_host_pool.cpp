// A host's pool of kept-alive connections against a scripted HTTPS server on loopback: reuse,
// a server that closes between calls, "Connection: close", a call that must not go out twice,
// and the limit of connections per host. The pool runs on the REST thread, its owner; the test
// hands it calls there and waits (boundedly) for their replies.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <boost/asio/post.hpp>

#include "core/rest/https/host_pool.hpp"
#include "core/rest/https/http_wire.hpp"
#include "core/rest/https/job.hpp"
#include "core/rest/https/rest_thread.hpp"
#include "rest/test_https_server.hpp"

namespace corvane::https {
namespace {

using namespace std::chrono_literals;
using testing::HttpsServer;
using Answer = HttpsServer::Answer;
using Count = HttpsServer::Count;

// One call's reply, reported on the REST thread.
struct Outcome {
    std::mutex mtx;
    std::condition_variable came;
    std::optional<Reply> reply;
    int reports = 0;

    std::optional<Reply> wait(std::chrono::milliseconds bound = 10s) {
        std::unique_lock<std::mutex> lock(mtx);
        came.wait_for(lock, bound, [&] { return reply.has_value(); });
        return reply;
    }
};

class HostPoolTest : public ::testing::Test {
protected:
    void start(HttpsServer::Script script) {
        server.emplace(std::move(script));
        endpoint = Endpoint{"127.0.0.1", std::to_string(server->port()), 5000ms};
        on_rest([this] {
            pool = std::make_unique<HostPool>(rest.loop(), endpoint.host + ":" + endpoint.port);
        });
    }

    void TearDown() override {
        on_rest([this] { pool.reset(); });
    }

    // Runs `work` on the REST thread and waits for it.
    void on_rest(std::function<void()> work) {
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> finished = done->get_future();
        boost::asio::post(rest.loop(), [work = std::move(work), done] {
            work();
            done->set_value();
        });
        ASSERT_EQ(finished.wait_for(10s), std::future_status::ready);
    }

    std::shared_ptr<Outcome> call(const std::string& target, const Endpoint* to = nullptr) {
        const Endpoint& where = to != nullptr ? *to : endpoint;
        auto outcome = std::make_shared<Outcome>();
        auto job = std::make_shared<Job>(where, build_request(where, Request{"GET", target, {}, ""}),
                                         [outcome](const Reply& reply) {
                                             std::lock_guard<std::mutex> lock(outcome->mtx);
                                             ++outcome->reports;
                                             outcome->reply = reply;
                                             outcome->came.notify_all();
                                         });
        boost::asio::post(rest.loop(), [this, job] { pool->submit(job); });
        return outcome;
    }

    // The body of an answered call: "<server's connection> <target>".
    std::string answer_to(const std::string& target) {
        const std::optional<Reply> reply = call(target)->wait();
        if (!reply) return "no reply";
        if (reply->outcome != Reply::Outcome::answered) return "failed: " + reply->failure;
        return reply->body;
    }

    RestThread& rest = RestThread::instance();
    std::optional<HttpsServer> server;
    Endpoint endpoint;
    std::unique_ptr<HostPool> pool;  // REST thread only
};

TEST_F(HostPoolTest, AKeptConnectionCarriesTheNextCall) {
    start([](int, const std::string&) { return Answer::keep; });
    EXPECT_EQ(answer_to("/1"), "1 /1");
    EXPECT_EQ(answer_to("/2"), "1 /2");
    EXPECT_EQ(server->count(Count::connections), 1);
}

TEST_F(HostPoolTest, AServerThatClosedBetweenCallsCostsANewConnectionNotTheCall) {
    start([](int connection, const std::string&) {
        return connection == 1 ? Answer::then_drop : Answer::keep;
    });
    EXPECT_EQ(answer_to("/1"), "1 /1");
    ASSERT_TRUE(server->wait_for(Count::closed, 1));
    EXPECT_EQ(answer_to("/2"), "2 /2");
    EXPECT_EQ(server->count(Count::requests), 2);
}

TEST_F(HostPoolTest, AnAnswerWithConnectionCloseEndsItsConnection) {
    start([](int, const std::string&) { return Answer::close; });
    EXPECT_EQ(answer_to("/1"), "1 /1");
    EXPECT_EQ(answer_to("/2"), "2 /2");
    EXPECT_EQ(server->count(Count::connections), 2);
}

// A call whose request went out may have been acted on: its outcome is unknown, and it is not
// sent again, not even on a kept connection that had served a call before.
TEST_F(HostPoolTest, ACallSentAndNotAnsweredIsUnknownAndNeverSentAgain) {
    auto seen = std::make_shared<std::atomic<int>>(0);
    start([seen](int, const std::string& target) {
        if (target != "/order") return Answer::keep;
        ++*seen;
        return Answer::drop;
    });
    EXPECT_EQ(answer_to("/1"), "1 /1");
    const std::optional<Reply> order = call("/order")->wait();
    ASSERT_TRUE(order.has_value());
    EXPECT_EQ(order->outcome, Reply::Outcome::unknown);
    EXPECT_FALSE(order->failure.empty());
    EXPECT_EQ(answer_to("/3"), "2 /3");  // after anything the pool would have sent meanwhile
    EXPECT_EQ(seen->load(), 1);
    EXPECT_EQ(server->count(Count::requests), 3);
}

TEST_F(HostPoolTest, AtMostFourConnectionsPerHostTheOtherCallsWaitTheirTurn) {
    start([](int, const std::string&) { return Answer::hold; });
    std::vector<std::shared_ptr<Outcome>> calls;
    for (int i = 1; i <= 6; ++i)
        calls.push_back(call("/" + std::to_string(i)));
    ASSERT_TRUE(server->wait_for(Count::requests, 4));
    on_rest([] {});  // whatever the pool does on its thread about the calls has been done
    EXPECT_EQ(server->count(Count::connections), 4);
    EXPECT_EQ(server->count(Count::requests), 4);
    server->release();
    for (const auto& outcome : calls) {
        const std::optional<Reply> reply = outcome->wait();
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->outcome, Reply::Outcome::answered) << reply->failure;
    }
    EXPECT_EQ(server->count(Count::connections), 4);
    EXPECT_EQ(server->count(Count::requests), 6);
    for (const auto& outcome : calls)
        EXPECT_EQ(outcome->reports, 1);
}

TEST_F(HostPoolTest, AHostThatRefusesTheConnectionIsReportedNotSent) {
    start([](int, const std::string&) { return Answer::keep; });
    unsigned short closed_port = 0;
    {
        boost::asio::io_context io;
        boost::asio::ip::tcp::acceptor probe(
            io, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
        closed_port = probe.local_endpoint().port();
    }
    const Endpoint nowhere{"127.0.0.1", std::to_string(closed_port), 5000ms};
    // Another host, so another pool: made and dropped on the REST thread.
    std::unique_ptr<HostPool> other;
    on_rest([&] { other = std::make_unique<HostPool>(rest.loop(), "127.0.0.1:" + nowhere.port); });
    auto outcome = std::make_shared<Outcome>();
    auto job = std::make_shared<Job>(nowhere, build_request(nowhere, Request{"GET", "/", {}, ""}),
                                     [outcome](const Reply& reply) {
                                         std::lock_guard<std::mutex> lock(outcome->mtx);
                                         outcome->reply = reply;
                                         outcome->came.notify_all();
                                     });
    on_rest([&] { other->submit(job); });
    const std::optional<Reply> reply = outcome->wait();
    on_rest([&] { other.reset(); });
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->outcome, Reply::Outcome::not_sent);
    EXPECT_EQ(reply->failure.rfind("connect:", 0), 0u) << reply->failure;
}

}  // namespace
}  // namespace corvane::https
