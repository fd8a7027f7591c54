#pragma once
// AsioRunLoop: the RunLoop of an Asio event loop, for the Session that owns one connection (and
// for tests that run a loop themselves). Used on the loop's thread only.

#include <boost/asio/io_context.hpp>

#include "core/stream/run_loop.hpp"

namespace corvane {

class AsioRunLoop final : public RunLoop {
public:
    AsioRunLoop(boost::asio::io_context& loop, const ThreadOwner& owner)
        : loop(loop), owner(owner) {}

    void post(std::function<void()> work) override;
    std::unique_ptr<RunTimer> after(std::chrono::milliseconds delay,
                                    std::function<void()> fire) override;
    std::unique_ptr<https::Pending> rest(const https::Endpoint& endpoint,
                                         const https::Request& request,
                                         https::Done done) override;
    const ThreadOwner& thread() const override { return owner; }
    boost::asio::io_context& io() { return loop; }

private:
    boost::asio::io_context& loop;
    const ThreadOwner& owner;
};

}  // namespace corvane
