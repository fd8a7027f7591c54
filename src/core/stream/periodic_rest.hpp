#pragma once
// PeriodicRest: one REST call repeated on a connection's run thread while the connection lasts
// (the clock measurement, the dead-man refresh, the listen-key renewal): a period after it
// starts, and a period after each reply, the call goes out if it is due; what its reply says
// decides whether the next one waits a period, is retried sooner, or never comes. Nothing
// waits for a call: its reply comes back on the run thread. Run thread only; its life is one
// state (PeriodicState), its transitions in one table.
//
//   state    event     next     what the job does
//   idle     started   waiting  a timer for one period
//   waiting  sent      asking   the call is under way (a due time that finds nothing due
//                               arms the timer again)
//   asking   answered  waiting  a timer for one period, or for the retry delay
//   idle, waiting, asking  stopped  stopped  the timer and any call under way are dropped
//   stopped  (anything)  stopped  nothing more: not a timer, not a reply

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "core/rest/https_client.hpp"
#include "core/stream/run_loop.hpp"

namespace corvane {

enum class PeriodicState : std::uint8_t { idle, waiting, asking, stopped };
enum class PeriodicEvent : std::uint8_t { started, sent, answered, stopped };

// The next state, or nullopt when `event` changes nothing in `state`.
std::optional<PeriodicState> periodic_transition(PeriodicState state, PeriodicEvent event);

class PeriodicRest {
public:
    // What a reply means for the next call.
    enum class Then : std::uint8_t {
        wait,   // the next one a period from now
        retry,  // the next one after the retry delay
        stop,   // no more (as stop())
    };
    struct Steps {
        // At a due time: whether the call goes now (unset: always). If not, it is asked again a
        // period later.
        std::function<bool()> due;
        // Starts the call on `loop`, its reply to `done`.
        std::function<std::unique_ptr<https::Pending>(RunLoop& loop, https::Done done)> start;
        // Its reply. It may call stop(); nothing more happens then.
        std::function<Then(const https::Reply& reply)> answered;
    };

    PeriodicRest(std::chrono::milliseconds period, std::chrono::milliseconds retry, Steps steps);
    PeriodicRest(const PeriodicRest&) = delete;
    PeriodicRest& operator=(const PeriodicRest&) = delete;

    // Run thread: the first due time one period from now. Once only.
    void start(RunLoop& loop);
    // Run thread: nothing more is sent or reported. Any time, the reply's callback included.
    void stop();
    PeriodicState state() const { return current; }

private:
    void arm(std::chrono::milliseconds delay);
    void fire();
    void on_reply(const https::Reply& reply);
    bool go(PeriodicEvent event);

    const std::chrono::milliseconds period;
    const std::chrono::milliseconds retry;
    const Steps steps;
    RunLoop* loop = nullptr;
    PeriodicState current = PeriodicState::idle;
    std::unique_ptr<RunTimer> timer;
    std::unique_ptr<https::Pending> pending;
    // A reply that a call could not even start with comes from a post, which cannot be
    // cancelled: it finds this gone (or another call's number) and does nothing.
    std::shared_ptr<std::uint64_t> calls = std::make_shared<std::uint64_t>(0);
};

}  // namespace corvane
