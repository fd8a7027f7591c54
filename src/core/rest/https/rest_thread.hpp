#pragma once
// RestThread: the process's REST thread, which owns every kept-alive REST connection (one pool
// per host and port, host_pool.hpp) and runs all their I/O. Callers hand it calls and are
// answered by callback on it; a blocking caller waits for that callback on its own thread, so
// nothing it runs ever waits for a caller. Started on first use, joined at exit. A child made
// by fork() gets a copy of the parent's objects but not its thread: it starts a REST thread of
// its own at its first call and leaves the parent's copy untouched (its connections are the
// parent's).

#include <sys/types.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <map>
#include <memory>
#include <string>
#include <thread>

#include "core/rest/https/host_pool.hpp"

namespace corvane::https {

class RestThread {
public:
    static RestThread& instance();
    ~RestThread();

    boost::asio::io_context& loop() { return io; }
    // REST thread only.
    HostPool& pool_for(const Endpoint& endpoint);

private:
    RestThread();
    friend struct CurrentRestThread;

    boost::asio::io_context io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work;
    std::map<std::string, std::unique_ptr<HostPool>> pools;  // REST thread only, by host:port
    std::thread thread;
    const pid_t owner;  // the process whose thread this is
};

}  // namespace corvane::https
