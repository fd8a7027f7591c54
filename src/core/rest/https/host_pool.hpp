#pragma once
// HostPool: the kept-alive connections to one REST host (host and port), at most four, and the
// calls waiting for one. A call goes to an idle connection, else to one being opened that holds
// none, else to a new one; past four it waits its turn, first come first served. A pool used in
// the last five minutes replaces a connection that reaches its idle limit at once; one the
// server closes is replaced by the next call. REST thread only.

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/rest/https/job.hpp"
#include "core/rest/https/kept_connection.hpp"

namespace corvane::https {

class HostPool {
public:
    HostPool(boost::asio::io_context& loop, std::string host_port);
    ~HostPool();

    void submit(const std::shared_ptr<Job>& job);
    // Ends `job` now, reporting `reply` (nothing, when null): its deadline, or its caller gone.
    void end(const std::shared_ptr<Job>& job, const Reply* reply);
    // Opens a connection ahead of the first call, unless one is open or opening.
    void warm(const Endpoint& endpoint);

    // From its connections.
    void on_idle(KeptConnection& connection);
    void on_lost(KeptConnection& connection);
    // Closed by its idle limit: a warm pool opens a new one in its place.
    void on_recycled(KeptConnection& connection);
    void on_open_failed(KeptConnection& connection, const std::shared_ptr<Job>& job,
                        const std::string& why);
    void retry(KeptConnection& connection, const std::shared_ptr<Job>& job);

private:
    void pump();
    bool place(const std::shared_ptr<Job>& job);
    std::shared_ptr<KeptConnection> find(KeptConnection::State state) const;
    void open_new(const Endpoint& endpoint, std::shared_ptr<Job> job);
    void forget(KeptConnection& connection);
    void keep_warm();

    boost::asio::io_context& loop;
    const std::string host_port;
    std::vector<std::shared_ptr<KeptConnection>> connections;
    std::deque<std::shared_ptr<Job>> waiting;
    std::chrono::steady_clock::time_point warm_until{};
    std::optional<Endpoint> last_endpoint;  // what a connection opened to keep warm uses
    bool pumping = false;
};

}  // namespace corvane::https
