#include "core/rest/https_client.hpp"

#include <boost/asio/post.hpp>
#include <boost/beast/http/write.hpp>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "core/rest/https/http_wire.hpp"
#include "core/rest/https/job.hpp"
#include "core/rest/https/rest_thread.hpp"

namespace corvane::https {
namespace {

namespace net = boost::asio;

// Past its own deadline, a blocking caller gives the REST thread this long to report.
constexpr std::chrono::seconds kReportGrace{2};

Reply not_sent(const std::string& why) {
    Reply reply;
    reply.failure = why;
    return reply;
}

// Hands `job` to its host's pool, on the REST thread, under its deadline.
void run(const std::shared_ptr<Job>& job) {
    RestThread& rest = RestThread::instance();
    net::post(rest.loop(), [&rest, job] {
        HostPool& pool = rest.pool_for(job->endpoint);
        job->deadline.emplace(rest.loop(), job->endpoint.timeout);
        job->deadline->async_wait([&pool, job](boost::system::error_code ec) {
            if (ec) return;
            const Reply late = job->failure("request to " + job->endpoint.host +
                                            " timed out after " +
                                            std::to_string(job->endpoint.timeout.count()) + " ms");
            pool.end(job, &late);
        });
        pool.submit(job);
    });
}

// Ends `job` without a report, on the REST thread.
void drop(const std::shared_ptr<Job>& job) {
    RestThread& rest = RestThread::instance();
    net::post(rest.loop(), [&rest, job] { rest.pool_for(job->endpoint).end(job, nullptr); });
}

// Where a started request's reply goes: `loop`, until the Pending is destroyed on it.
struct Delivery {
    std::mutex mtx;  // innermost: guards `loop` against the REST thread's post
    net::io_context* loop;
    Done done;  // the loop's thread only
};

class PendingCall final : public Pending {
public:
    PendingCall(std::shared_ptr<Delivery> delivery, std::shared_ptr<Job> job)
        : delivery(std::move(delivery)), job(std::move(job)) {}
    ~PendingCall() override {
        {
            std::lock_guard<std::mutex> lock(delivery->mtx);
            delivery->loop = nullptr;
        }
        drop(job);
    }

private:
    std::shared_ptr<Delivery> delivery;
    std::shared_ptr<Job> job;
};

}  // namespace

Endpoint endpoint_of(const std::string& url) {
    static const std::string scheme = "https://";
    std::string rest = url.rfind(scheme, 0) == 0 ? url.substr(scheme.size()) : std::string();
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    const auto colon = rest.rfind(':');
    Endpoint endpoint{rest.substr(0, colon)};
    if (colon != std::string::npos) endpoint.port = rest.substr(colon + 1);
    const bool port_ok = !endpoint.port.empty() &&
                         endpoint.port.find_first_not_of("0123456789") == std::string::npos;
    if (endpoint.host.empty() || !port_ok ||
        endpoint.host.find_first_of("/?#@ \r\n") != std::string::npos) {
        throw std::invalid_argument("rest_url must be https://host[:port]");
    }
    return endpoint;
}

std::string url_of(const Endpoint& endpoint) {
    return "https://" + endpoint.host + (endpoint.port == "443" ? "" : ":" + endpoint.port);
}

Reply send(const Endpoint& endpoint, const Request& request) {
    HttpRequest http;
    try {
        http = build_request(endpoint, request);
    } catch (const std::exception& e) {
        return not_sent(e.what());
    }
    struct Waiter {
        std::mutex mtx;  // innermost
        std::condition_variable ready;
        std::optional<Reply> reply;
    };
    auto waiter = std::make_shared<Waiter>();
    auto job = std::make_shared<Job>(endpoint, std::move(http), [waiter](const Reply& reply) {
        std::lock_guard<std::mutex> lock(waiter->mtx);
        waiter->reply = reply;
        waiter->ready.notify_one();
    });
    run(job);
    std::unique_lock<std::mutex> lock(waiter->mtx);
    if (waiter->ready.wait_for(lock, endpoint.timeout + kReportGrace,
                               [&] { return waiter->reply.has_value(); })) {
        return *waiter->reply;
    }
    lock.unlock();
    drop(job);
    Reply unknown;
    unknown.outcome = Reply::Outcome::unknown;
    unknown.failure = "request to " + endpoint.host + " did not finish";
    return unknown;
}

void warm(const Endpoint& endpoint) {
    RestThread& rest = RestThread::instance();
    net::post(rest.loop(), [&rest, endpoint] { rest.pool_for(endpoint).warm(endpoint); });
}

std::unique_ptr<Pending> start(net::io_context& loop, const Endpoint& endpoint,
                               const Request& request, Done done) {
    HttpRequest http;
    try {
        http = build_request(endpoint, request);
    } catch (const std::exception& e) {
        // Reported from the loop, like any other failure.
        net::post(loop, [done, why = std::string(e.what())] { done(not_sent(why)); });
        return nullptr;
    }
    auto delivery = std::make_shared<Delivery>();
    delivery->loop = &loop;
    delivery->done = std::move(done);
    auto job = std::make_shared<Job>(endpoint, std::move(http), [delivery](const Reply& reply) {
        std::lock_guard<std::mutex> lock(delivery->mtx);
        if (delivery->loop == nullptr) return;
        net::post(*delivery->loop, [delivery, reply] {
            {
                std::lock_guard<std::mutex> relock(delivery->mtx);
                if (delivery->loop == nullptr) return;  // cancelled since
            }
            delivery->done(reply);
        });
    });
    run(job);
    return std::make_unique<PendingCall>(std::move(delivery), std::move(job));
}

std::string wire_text(const Endpoint& endpoint, const Request& request) {
    std::ostringstream out;
    out << build_request(endpoint, request);
    return out.str();
}

}  // namespace corvane::https
