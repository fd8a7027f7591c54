#include "core/rest/https/host_pool.hpp"

#include <algorithm>

namespace corvane::https {
namespace {

constexpr std::size_t kMaxConnections = 4;
// A pool used (or warmed) this recently keeps a connection open for the next call.
constexpr std::chrono::minutes kWarmFor{5};

}  // namespace

HostPool::HostPool(boost::asio::io_context& loop, std::string host_port)
    : loop(loop), host_port(std::move(host_port)) {}

HostPool::~HostPool() {
    for (const auto& connection : connections) connection->abort();
    for (const auto& job : waiting) job->report = nullptr;
}

void HostPool::submit(const std::shared_ptr<Job>& job) {
    last_endpoint = job->endpoint;
    warm_until = std::chrono::steady_clock::now() + kWarmFor;
    waiting.push_back(job);
    pump();
}

void HostPool::warm(const Endpoint& endpoint) {
    last_endpoint = endpoint;
    warm_until = std::chrono::steady_clock::now() + kWarmFor;
    if (!find(KeptConnection::State::idle) && !find(KeptConnection::State::opening) &&
        connections.size() < kMaxConnections) {
        open_new(endpoint, nullptr);
    }
}

void HostPool::end(const std::shared_ptr<Job>& job, const Reply* reply) {
    if (job->done()) return;
    if (reply == nullptr) job->report = nullptr;
    waiting.erase(std::remove(waiting.begin(), waiting.end(), job), waiting.end());
    if (KeptConnection* holder = job->on) {
        if (holder->state() == KeptConnection::State::opening) {
            holder->detach();  // it opens all the same, for the next call
        } else {
            holder->abort();
            forget(*holder);
        }
    }
    job->finish(reply != nullptr ? *reply : Reply{});
    pump();
}

void HostPool::on_idle(KeptConnection&) {
    pump();
}

void HostPool::on_lost(KeptConnection& connection) {
    forget(connection);
    pump();
}

void HostPool::on_recycled(KeptConnection& connection) {
    forget(connection);
    keep_warm();
}

void HostPool::on_open_failed(KeptConnection& connection, const std::shared_ptr<Job>& job,
                              const std::string& why) {
    forget(connection);
    if (job) job->finish(job->failure(why));
    pump();
}

void HostPool::retry(KeptConnection& connection, const std::shared_ptr<Job>& job) {
    forget(connection);
    waiting.push_front(job);
    pump();
}

void HostPool::pump() {
    if (pumping) return;  // a connection lost while placing a call: the loop below goes on
    pumping = true;
    while (!waiting.empty() && place(waiting.front())) waiting.pop_front();
    pumping = false;
}

// A retried call goes only to a connection not used before; any other takes the first free one.
bool HostPool::place(const std::shared_ptr<Job>& job) {
    if (!job->retried()) {
        while (const auto idle = find(KeptConnection::State::idle)) {
            if (idle->take(job)) return true;  // otherwise it found itself closed, and is gone
        }
    }
    if (const auto opening = find(KeptConnection::State::opening)) {
        opening->attach(job);
        return true;
    }
    if (connections.size() >= kMaxConnections && job->retried()) {
        if (const auto idle = find(KeptConnection::State::idle)) {
            idle->abort();
            forget(*idle);
        }
    }
    if (connections.size() >= kMaxConnections) return false;
    open_new(job->endpoint, job);
    return true;
}

// An idle connection, or (opening) one that holds no call yet.
std::shared_ptr<KeptConnection> HostPool::find(KeptConnection::State state) const {
    for (const auto& connection : connections) {
        if (connection->state() == state && !connection->holds_job()) return connection;
    }
    return nullptr;
}

void HostPool::open_new(const Endpoint& endpoint, std::shared_ptr<Job> job) {
    try {
        auto connection = std::make_shared<KeptConnection>(loop, *this, endpoint, host_port);
        connections.push_back(connection);
        connection->open(std::move(job));
    } catch (const std::exception& e) {  // no SNI or host check for this host name
        if (job) job->finish(job->failure(e.what()));
    }
}

void HostPool::forget(KeptConnection& connection) {
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                                     [&](const auto& c) { return c.get() == &connection; }),
                      connections.end());
}

void HostPool::keep_warm() {
    if (!last_endpoint || std::chrono::steady_clock::now() >= warm_until || !waiting.empty())
        return;
    if (find(KeptConnection::State::idle) || find(KeptConnection::State::opening)) return;
    if (connections.size() < kMaxConnections) open_new(*last_endpoint, nullptr);
}

}  // namespace corvane::https
