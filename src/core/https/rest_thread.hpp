#pragma once
// RestThread: the process's REST thread, which owns every kept-alive REST connection (one pool
// per host and port, host_pool.hpp) and runs all their I/O. Callers hand it calls and are
// answered by callback on it; a blocking caller waits for that callback on its own thread, so
// nothing it runs ever waits for a caller. Started on first use, joined at exit.

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <map>
#include <memory>
#include <string>
#include <thread>

#include "core/https/host_pool.hpp"

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

    boost::asio::io_context io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work;
    std::map<std::string, std::unique_ptr<HostPool>> pools;  // REST thread only, by host:port
    std::thread thread;
};

}  // namespace corvane::https
