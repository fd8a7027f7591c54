#include "core/stream/asio_run_loop.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

namespace corvane {
namespace {

// A timer whose expiry may already be queued when it is destroyed: the shared flag keeps the
// callback from running then.
class AsioTimer final : public RunTimer {
public:
    AsioTimer(boost::asio::io_context& loop, std::chrono::milliseconds delay,
              std::function<void()> fire)
        : timer(loop, delay), live(std::make_shared<bool>(true)) {
        timer.async_wait(
            [live = live, fire = std::move(fire)](const boost::system::error_code& ec) {
                if (!ec && *live) fire();
            });
    }
    ~AsioTimer() override { *live = false; }

private:
    boost::asio::steady_timer timer;
    std::shared_ptr<bool> live;
};

}  // namespace

void AsioRunLoop::post(std::function<void()> work) {
    boost::asio::post(loop, std::move(work));
}

std::unique_ptr<RunTimer> AsioRunLoop::after(std::chrono::milliseconds delay,
                                             std::function<void()> fire) {
    return std::make_unique<AsioTimer>(loop, delay, std::move(fire));
}

std::unique_ptr<https::Pending> AsioRunLoop::rest(const https::Endpoint& endpoint,
                                                  const https::Request& request,
                                                  https::Done done) {
    return https::start(loop, endpoint, request, std::move(done));
}

}  // namespace corvane
