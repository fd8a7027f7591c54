#pragma once
// BaseExchangeConnector: the interface Python calls, plus the inbound queue every exchange fills
// and every reader drains.

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "core/inbound_queue.hpp"
#include "core/param_map.hpp"

namespace corvane {

class BaseExchangeConnector {
public:
    BaseExchangeConnector() = default;
    BaseExchangeConnector(const BaseExchangeConnector&) = delete;
    BaseExchangeConnector& operator=(const BaseExchangeConnector&) = delete;
    virtual ~BaseExchangeConnector() = default;

    virtual void connect(const std::string& url) = 0;
    virtual void disconnect() = 0;
    virtual void subscribe(const ParamMap& params) = 0;
    virtual void unsubscribe(const ParamMap& params) = 0;
    // The exchange's reply when the call itself carries it (MEXC, over REST); nullopt when the
    // reply arrives on the stream instead (OKX).
    virtual std::optional<std::string> place_order(const ParamMap& params) = 0;
    virtual std::optional<std::string> cancel_order(const ParamMap& params) = 0;

    // Throws std::invalid_argument naming the first keyword of `required` that is absent.
    void require_params(const ParamMap& params, const std::vector<std::string>& required) const;

    // The readers' side of the inbound queue (see inbound_queue.hpp). On a quiet stream a
    // reader with nothing to take serves the connection itself while it waits (see
    // serve_while_waiting); on a busy one the run thread keeps the work in parallel.
    std::optional<InboundMessage> take(std::chrono::milliseconds max_wait);
    std::optional<InboundMessage> try_take() { return inbound.try_take(); }
    void give_back(std::string&& payload) { inbound.give_back(std::move(payload)); }
    InboundQueue& queue() { return inbound; }

    // Whether the last wait for a message was long: the stream is quiet, and handing the loop
    // to the waiting reader costs less than the wake-up it saves.
    bool is_quiet() const { return long_waits.load(std::memory_order_relaxed) > 0; }
    // Whether the last few waits were all long: for a hand-over that lasts beyond one wait, and
    // that a busy stream's odd long wait (a preempted thread) must not bring about.
    bool steadily_quiet() const { return long_waits.load(std::memory_order_relaxed) >= 4; }
    void note_wait(std::chrono::steady_clock::duration waited);

    // The loop lent to a reader on an event loop, which cannot block for the hand-over as
    // serve_while_waiting does. `fd` is the reader's eventfd and names the loan: it is written
    // once the loan is granted and once the connector takes it back. Until end_loan(fd) the
    // reader keeps `fd` open. (See websocket_connector.hpp.)
    enum class Loan { none, requested, lent };
    virtual bool request_loan(int /*fd*/) { return false; }
    virtual Loan loan(int /*fd*/) { return Loan::none; }
    // Lent: a duplicate of the connection's socket for the reader's loop to watch, -1 if the
    // loan is over. The reader closes it.
    virtual int loan_socket(int /*fd*/) { return -1; }
    // Lent: runs the handlers that are ready, without blocking; the number of messages that
    // came meanwhile, or -1 once the loan is over.
    virtual int serve_loan(int /*fd*/) { return -1; }
    virtual void end_loan(int /*fd*/) {}

protected:
    // Runs the connection's work on the calling reader's thread until a message is queued, the
    // stream ends or `deadline` passes; returns at once where that is not possible.
    virtual void serve_while_waiting(std::chrono::steady_clock::time_point /*deadline*/) {}

    InboundQueue inbound;

private:
    std::atomic<int> long_waits{0};  // in a row, up to 4; relaxed: only a hint
};

}  // namespace corvane
