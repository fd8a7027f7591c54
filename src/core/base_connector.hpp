#pragma once
// BaseExchangeConnector: the interface Python calls, plus the inbound queue every exchange fills
// and every reader drains.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/param_map.hpp"
#include "core/payload_buffers.hpp"

namespace corvane {

// One received data message, byte for byte, with the kind of frame it came in.
struct InboundMessage {
    std::string payload;
    bool binary = false;
    bool ascii = false;  // a text payload known to be 7-bit ASCII (cheaper to turn into a str)
};

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
    virtual void place_order(const ParamMap& params) = 0;
    virtual void cancel_order(const ParamMap& params) = 0;

    // Throws std::invalid_argument naming the first keyword of `required` that is absent.
    void require_params(const ParamMap& params, const std::vector<std::string>& required) const;

    // Removes and returns the oldest message. While the queue is empty and a connection is being
    // opened or is open, waits at most `max_wait` and returns nullopt if nothing came. Throws
    // std::runtime_error("No more messages") once the queue is empty and no connection is live.
    std::optional<InboundMessage> take(std::chrono::milliseconds max_wait);

    // Hands back the payload of a message taken earlier, once it is no longer needed, so that
    // the run thread can reuse its buffer.
    void give_back(std::string&& payload);

    // Appends one message and wakes a reader if one waits.
    void push_message(std::string&& payload, bool binary, bool ascii = false) {
        if (enqueue(std::move(payload), binary, ascii)) wake_reader();
    }

    bool is_running() const { return running.load(); }

protected:
    // Appends one message without waking anyone; true when a reader waits for it, and the
    // caller must then call wake_reader() (now, or once it has appended what else it has).
    bool enqueue(std::string&& payload, bool binary, bool ascii);
    void wake_reader() { cv.notify_one(); }

    // A connection is being opened or is open: readers wait for it instead of ending.
    void begin_stream();
    // The connection has ended: readers drain what is queued, then get "No more messages".
    void end_stream();
    bool stream_live() const { return live.load(); }

    std::atomic<bool> running{false};
    std::deque<InboundMessage> messages;
    std::mutex mtx;
    std::condition_variable cv;
    PayloadBuffers buffers;  // stages guarded as payload_buffers.hpp says

private:
    std::optional<InboundMessage> pop_ready();

    std::atomic<bool> live{false};
    int readers_waiting = 0;  // guarded by mtx; lets push_message skip the futex when nobody waits
    std::size_t backlog_peak = 0;  // guarded by mtx: longest queue since it was last taken

    // Readers take everything queued in one swap and then pop from `ready` without touching
    // mtx, so the run thread rarely finds mtx held. reader_mtx only orders readers among
    // themselves; lock order is reader_mtx before mtx, and the run thread never takes it.
    std::mutex reader_mtx;
    std::deque<InboundMessage> ready;  // guarded by reader_mtx; older than everything in messages
    std::size_t ready_peak = 0;        // guarded by reader_mtx: the backlog `ready` came from
};

}  // namespace corvane
