#pragma once
// The dead-man switch an OkxConnector keeps: OKX's cancel-all-after, which cancels every
// pending order of the account when its countdown lapses, refreshed by the connector itself.
//
// DeadManPeriod is the connector's: the period the program armed (cancel_all_after(seconds);
// 0: off) and when the countdown was last restarted. DeadManRefresh is one private connection's:
// once its login succeeds it restarts the countdown every third of the period, on the
// connection's run thread, the request running on the connection's loop (nothing waits for it).
// It refreshes only while the program reads: since the countdown was last restarted a reader
// asked for a message, or one waits for a message now. So the refresh stops when the process dies (no
// thread is left), when the connection ends (its refresh goes with it) and when the program
// stops reading; OKX then cancels the orders within the period.

#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "core/https_client.hpp"
#include "core/inbound_queue.hpp"

namespace corvane {

class Session;

struct DeadManPeriod {
    std::atomic<int> seconds{0};                // 0: not armed
    std::atomic<std::int64_t> restarted_ns{0};  // steady clock, when OKX last took a restart
    std::atomic<std::uint64_t> reads{0};        // the queue's reads() when that restart was sent
    void restarted(std::uint64_t reads_then);
};

class DeadManRefresh {
public:
    // Starts the signed POST of cancel-all-after with `seconds` on the loop; its reply then goes
    // to `done` on the run thread.
    using Start = std::function<std::unique_ptr<https::Pending>(int seconds, https::Done done)>;
    DeadManRefresh(DeadManPeriod& period, InboundQueue& queue, Start start);

    // Run thread: from the login on.
    void start(Session& session);
    // Run thread: the connection has closed.
    void stop();

private:
    void schedule(Session& session);
    void tick(Session& session);
    bool program_reads();
    void on_reply(Session& session, const https::Reply& reply);

    DeadManPeriod& period;
    InboundQueue& queue;
    const Start start_request;
    std::optional<boost::asio::steady_timer> timer;
    std::unique_ptr<https::Pending> pending;
    bool in_flight = false;
    std::uint64_t reads_sent = 0;  // the queue's reads() when the refresh in flight was sent
    int seconds_sent = 0;          // and the period it carried
};

// Whether a 2xx body of cancel-all-after says the countdown was restarted ("code":"0").
bool cancel_all_after_accepted(const std::string& body);
// Why an answer of cancel-all-after did not restart the countdown; empty when it did.
std::string cancel_all_after_failure(const https::Reply& reply);

}  // namespace corvane
