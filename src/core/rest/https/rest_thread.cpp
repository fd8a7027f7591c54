#include "core/rest/https/rest_thread.hpp"

#include <openssl/ssl.h>
#include <unistd.h>

#include <boost/asio/post.hpp>

#include <atomic>
#include <memory>

namespace corvane::https {

// The process's REST thread. Freed at exit only by the process it belongs to: a forked child's
// copy of its parent's has no thread to join.
struct CurrentRestThread {
    std::atomic<RestThread*> rest{nullptr};
    ~CurrentRestThread() {
        RestThread* const last = rest.load();
        if (last != nullptr && last->owner == getpid()) delete last;
    }
};

RestThread& RestThread::instance() {
    // OpenSSL is set up first, so that its own clean-up at exit runs after this thread has let
    // go of every connection.
    [[maybe_unused]] static const int openssl = OPENSSL_init_ssl(0, nullptr);
    static CurrentRestThread current;
    const pid_t pid = getpid();
    RestThread* rest = current.rest.load(std::memory_order_acquire);
    while (rest == nullptr || rest->owner != pid) {
        std::unique_ptr<RestThread> fresh(new RestThread());
        if (current.rest.compare_exchange_strong(rest, fresh.get(), std::memory_order_acq_rel)) {
            return *fresh.release();  // a parent's, left in `rest`, is never touched again
        }
        // Another thread started one first: `rest` holds it now, and `fresh` is joined.
    }
    return *rest;
}

RestThread::RestThread()
    : work(io.get_executor()), thread([this] { io.run(); }), owner(getpid()) {}

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
