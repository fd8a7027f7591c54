#pragma once
// ManualRunLoop: a RunLoop whose time the test moves by hand. Timers fire, posts run and REST
// calls are answered only when the test says so, on the test's thread, so nothing depends on
// timing.

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/stream/run_loop.hpp"

namespace corvane::testing {

class ManualRunLoop final : public RunLoop {
public:
    ManualRunLoop() { owner.claim(); }

    struct Call {
        https::Endpoint endpoint;
        https::Request request;
        https::Done done;
        std::shared_ptr<bool> live;  // false once its Pending is destroyed
    };

    void post(std::function<void()> work) override { posted.push_back(std::move(work)); }

    std::unique_ptr<RunTimer> after(std::chrono::milliseconds delay,
                                    std::function<void()> fire) override {
        auto timer = std::make_unique<Timer>();
        timers.push_back({now + delay, std::move(fire), timer->live});
        return timer;
    }

    std::unique_ptr<https::Pending> rest(const https::Endpoint& endpoint,
                                         const https::Request& request,
                                         https::Done done) override {
        auto pending = std::make_unique<Pending>();
        calls.push_back({endpoint, request, std::move(done), pending->live});
        return pending;
    }

    const ThreadOwner& thread() const override { return owner; }

    // Moves the clock by `step`, firing every live timer due meanwhile, in order, and running
    // what was posted.
    void advance(std::chrono::milliseconds step) {
        now += step;
        do {
            run_posted();
        } while (fire_one());
    }
    // Fires the timers due now, without running what they post.
    void fire_timers() {
        while (fire_one()) {
        }
    }
    void run_posted() {
        while (!posted.empty()) {
            auto work = std::move(posted.front());
            posted.pop_front();
            work();
        }
    }
    // Timers armed and not cancelled.
    std::size_t live_timers() const {
        std::size_t count = 0;
        for (const auto& timer : timers) count += *timer.live ? 1 : 0;
        return count;
    }
    // The oldest call not answered yet, taken out.
    Call take_call() {
        Call call = std::move(calls.front());
        calls.pop_front();
        return call;
    }

    std::chrono::milliseconds now{0};
    std::deque<Call> calls;

private:
    struct Timer final : RunTimer {
        ~Timer() override { *live = false; }
        std::shared_ptr<bool> live = std::make_shared<bool>(true);
    };
    struct Pending final : https::Pending {
        ~Pending() override { *live = false; }
        std::shared_ptr<bool> live = std::make_shared<bool>(true);
    };
    struct Armed {
        std::chrono::milliseconds at;
        std::function<void()> fire;
        std::shared_ptr<bool> live;
    };
    bool fire_one() {
        for (std::size_t i = 0; i < timers.size(); ++i) {
            if (timers[i].at > now) continue;
            Armed due = std::move(timers[i]);
            timers.erase(timers.begin() + static_cast<std::ptrdiff_t>(i));
            if (*due.live) due.fire();
            return true;
        }
        return false;
    }

    ThreadOwner owner;
    std::vector<Armed> timers;
    std::deque<std::function<void()>> posted;
};

}  // namespace corvane::testing
