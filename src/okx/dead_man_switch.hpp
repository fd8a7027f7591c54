#pragma once
// The dead-man switch an OkxConnector keeps: OKX's cancel-all-after, which cancels every
// pending order of the account when its countdown lapses, refreshed by the connector itself.
//
// DeadManPeriod is the connector's: the period the program armed (cancel_all_after(seconds);
// 0: off) and when the countdown was last restarted. DeadManRefresh is one private connection's:
// once its login succeeds it restarts the countdown every third of the period, on the
// connection's run thread, the request running on the connection's loop (a PeriodicRest that
// looks every second whether a refresh is due; nothing waits for it).
// It refreshes only while the program makes progress: since the countdown was last restarted a
// reader asked for a message (a blocking reader asks again every few milliseconds while it
// waits), or the event loop an asynchronous reader waits on ran. So the refresh stops when the
// process dies (no thread is left), when the connection ends (its refresh goes with it), when
// the program stops reading and when its reading thread or loop is frozen; OKX then cancels the
// orders within the period.
//
// A request a connection sent may reach OKX after one the program sent meanwhile (or its fate
// may never be known: a failure, the connection closed): OKX may then hold a period the program
// no longer wants, and above all a countdown the program turned off. Each such doubt is
// counted; the next tick of any private connection sends the period again (0 included) until
// one sent after the last doubt is accepted with no program call in between.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "core/inbound/inbound_queue.hpp"
#include "core/rest/https_client.hpp"
#include "core/stream/periodic_rest.hpp"
#include "core/stream/run_loop.hpp"

namespace corvane {

struct DeadManPeriod {
    std::atomic<int> seconds{0};                // 0: not armed
    std::atomic<std::int64_t> restarted_ns{0};  // steady clock, when OKX last took a restart
    std::atomic<std::uint64_t> reads{0};        // the queue's reads() when that restart was sent
    std::atomic<std::uint64_t> calls{0};        // the program's cancel_all_after calls begun
    std::atomic<int> running{0};                // and running now
    std::atomic<std::uint64_t> doubts{0};       // times OKX may have been left another period
    std::atomic<std::uint64_t> settled{0};      // the doubts a period accepted since answers
    void restarted(std::uint64_t reads_then);
    void doubt() { ++doubts; }
    bool in_doubt() const { return settled.load() != doubts.load(); }
    // A period sent when `doubts` read `then` was accepted.
    void settle(std::uint64_t then);

    // The program's cancel_all_after(seconds), from before its request until its answer. No
    // connection sends meanwhile; one whose request was under way finds `calls` changed when
    // its answer comes, and sends the period again.
    class ProgramCall {
    public:
        ProgramCall(DeadManPeriod& period, int seconds, std::uint64_t reads);
        ~ProgramCall() { --period.running; }
        ProgramCall(const ProgramCall&) = delete;
        ProgramCall& operator=(const ProgramCall&) = delete;
        // OKX accepted it.
        void accepted();

    private:
        DeadManPeriod& period;
        const int seconds;
        const std::uint64_t reads;
        std::uint64_t doubts = 0;
    };
};

class DeadManRefresh {
public:
    // Starts the signed POST of cancel-all-after with `seconds` on the loop; its reply then goes
    // to `done` on the run thread.
    using Start = std::function<std::unique_ptr<https::Pending>(int seconds, https::Done done)>;
    DeadManRefresh(DeadManPeriod& period, InboundQueue& queue, Start start,
                   std::chrono::milliseconds poll = std::chrono::seconds(1));

    // Run thread: from the login on.
    void start(RunLoop& loop);
    // Run thread: the connection has closed.
    void stop();

private:
    bool due();
    std::unique_ptr<https::Pending> send(https::Done done);
    bool program_reads();
    PeriodicRest::Then on_reply(const https::Reply& reply);

    DeadManPeriod& period;
    InboundQueue& queue;
    const Start start_request;
    int seconds_due = 0;           // what due() found to send
    std::uint64_t calls_due = 0;
    std::uint64_t reads_sent = 0;  // the queue's reads() when the refresh in flight was sent
    int seconds_sent = 0;          // and the period it carried
    std::uint64_t calls_sent = 0;  // and the period's calls then
    std::uint64_t doubts_sent = 0;  // and its doubts
    PeriodicRest job;  // asking: a refresh is in flight
};

// Whether a 2xx body of cancel-all-after says the countdown was restarted ("code":"0").
bool cancel_all_after_accepted(const std::string& body);
// Why an answer of cancel-all-after did not restart the countdown; empty when it did.
std::string cancel_all_after_failure(const https::Reply& reply);

}  // namespace corvane
