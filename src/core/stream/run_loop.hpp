#pragma once
// RunLoop: what exchange code may do on a connection's run thread without seeing the transport:
// post work to that thread, a one-shot timer, and a REST call whose reply comes back on it.
// Every call is made on the run thread, every callback runs there; a timer or a REST call is
// cancelled by destroying what started it (on the run thread), and its callback never runs
// after that.

#include <chrono>
#include <functional>
#include <memory>

#include "core/rest/https_client.hpp"
#include "core/stream/thread_owner.hpp"

namespace corvane {

// A one-shot timer; destroying it cancels it.
class RunTimer {
public:
    virtual ~RunTimer() = default;
};

class RunLoop {
public:
    virtual ~RunLoop() = default;

    // `work` runs on the run thread later, never inside this call.
    virtual void post(std::function<void()> work) = 0;
    // `fire` runs once on the run thread after `delay`, unless the timer is destroyed first.
    virtual std::unique_ptr<RunTimer> after(std::chrono::milliseconds delay,
                                            std::function<void()> fire) = 0;
    // Starts `request`; its reply goes to `done` on the run thread, unless the Pending is
    // destroyed first (nullptr: it could not start, and `done` gets the failure from a post).
    virtual std::unique_ptr<https::Pending> rest(const https::Endpoint& endpoint,
                                                 const https::Request& request,
                                                 https::Done done) = 0;
    // The run thread (checked in debug and sanitizer builds).
    virtual const ThreadOwner& thread() const = 0;
};

}  // namespace corvane
