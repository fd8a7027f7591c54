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
// counted; the next tick of any private connection sends the period again (0 included), and
// once more when the doubtful request can no longer land (kLandingNs), until one sent that
// late is accepted with no program call in between. The program's own call settles a doubt
// only if it began that late too.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "core/inbound/inbound_queue.hpp"
#include "core/rest/https_client.hpp"
#include "core/stream/periodic_rest.hpp"
#include "core/stream/run_loop.hpp"
#include "okx/dead_man_state.hpp"

namespace corvane {

// The connector's period: what the program wants, what OKX holds of it (DeadManState) and when
// it was last restarted. Any thread (the program's calls, every private connection's refresh):
// one lock, held only to read or change these, never across a request.
class DeadManPeriod {
public:
    using Clock = std::int64_t (*)();  // steady nanoseconds
    explicit DeadManPeriod(Clock clock = steady_now_ns) : clock(clock) {}

    // What one refresh carried, taken when it was found due.
    struct Refresh {
        int seconds = 0;
        std::uint64_t reads = 0;   // the queue's reads() then
        std::uint64_t calls = 0;   // the program's calls begun then
        std::uint64_t doubts = 0;  // and the doubts raised
        std::int64_t sent_ns = 0;  // when it went
    };

    // How late a request whose fate is unknown may still land at OKX. Only a period sent this
    // long after the last doubt settles it, and it lands before the shortest countdown (10 s)
    // that the doubtful request could have started would lapse.
    static constexpr std::int64_t kLandingNs = 5'000'000'000;

    // A connection's run thread: the refresh to send now, if one is due. Nothing is due while a
    // program call runs (what it sends is the latest); everything is while OKX may hold another
    // period; otherwise a third of the period after the last restart, if the program reads.
    std::optional<Refresh> due(std::uint64_t reads_now);
    // Its answer. True: the program set a period while it was on its way, which it may have
    // overtaken at OKX, so the program's goes again now.
    bool answered(const Refresh& sent, bool accepted);
    // A request whose fate will not be known may reach OKX after the program's.
    void doubt();

    DeadManState state() const;
    int seconds() const;

    // The program's cancel_all_after(seconds), from before its request until its answer. No
    // connection sends meanwhile; one whose request was under way finds the calls changed when
    // its answer comes, and sends the period again.
    class ProgramCall {
    public:
        ProgramCall(DeadManPeriod& period, int seconds, std::uint64_t reads);
        ~ProgramCall();
        ProgramCall(const ProgramCall&) = delete;
        ProgramCall& operator=(const ProgramCall&) = delete;
        // OKX accepted it.
        void accepted();

    private:
        DeadManPeriod& period;
        const int seconds;
        const std::uint64_t reads;
        std::uint64_t doubts = 0;  // raised before it began: its acceptance may settle them
        std::int64_t began_ns = 0;
    };

    static std::int64_t steady_now_ns();

private:
    // Under `lock`: OKX took `seconds` from a request sent at `sent_ns`, when `doubts_then`
    // doubts were raised.
    void took(int seconds_taken, std::uint64_t reads_then, std::uint64_t doubts_then,
              std::int64_t sent_ns);
    // Under `lock`, while doubtful: whether the period goes again now (at once after a doubt,
    // and once more when its landing time has passed).
    bool resend_due(std::int64_t now_ns) const;
    void raise_doubt();
    void go(DeadManEvent event);

    const Clock clock;
    mutable std::mutex lock;
    DeadManState current = DeadManState::off;
    int wanted = 0;                     // the period the program set (0: off)
    std::int64_t restarted_ns = 0;      // when OKX last took a restart
    std::uint64_t reads_at_restart = 0;  // the queue's reads() when that restart was sent
    std::uint64_t calls = 0;            // the program's calls begun
    int running = 0;                    // and running now
    std::uint64_t doubts = 0;           // doubts raised
    std::int64_t doubt_ns = 0;          // when the last one was
    std::uint64_t resent_after = 0;     // the doubts raised when the period last went again
    std::int64_t resent_ns = 0;         // and when
};

// One private connection's refresh of the period. Run thread only.
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
    PeriodicRest::Then on_reply(const https::Reply& reply);

    DeadManPeriod& period;
    InboundQueue& queue;
    const Start start_request;
    std::optional<DeadManPeriod::Refresh> found;  // what due() found to send
    DeadManPeriod::Refresh sent;                  // what the refresh in flight carried
    PeriodicRest job;  // asking: a refresh is in flight
};

// Whether a 2xx body of cancel-all-after says the countdown was restarted ("code":"0").
bool cancel_all_after_accepted(const std::string& body);
// Why an answer of cancel-all-after did not restart the countdown; empty when it did.
std::string cancel_all_after_failure(const https::Reply& reply);

}  // namespace corvane
