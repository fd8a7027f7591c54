#include "core/https/rest_thread.hpp"

#include <openssl/ssl.h>

#include <boost/asio/post.hpp>

namespace corvane::https {

RestThread& RestThread::instance() {
    // OpenSSL is set up first, so that its own clean-up at exit runs after this thread has let
    // go of every connection.
    [[maybe_unused]] static const int openssl = OPENSSL_init_ssl(0, nullptr);
    static RestThread rest;
    return rest;
}

RestThread::RestThread() : work(io.get_executor()), thread([this] { io.run(); }) {}

RestThread::~RestThread() {
    // The pools go on their own thread, which then stops; calls still under way are dropped.
    boost::asio::post(io, [this] {
        pools.clear();
        work.reset();
        io.stop();
    });
    thread.join();
}

HostPool& RestThread::pool_for(const Endpoint& endpoint) {
    const std::string key = endpoint.host + ":" + endpoint.port;
    auto& pool = pools[key];
    if (pool == nullptr) pool = std::make_unique<HostPool>(io, key);
    return *pool;
}

}  // namespace corvane::https
