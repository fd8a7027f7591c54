#pragma once
// RunContext: what an exchange's handler (connection_handler.hpp) may do on its connection,
// without seeing the transport: send a frame, deliver a payload to the readers, say that the
// connection is ready or drained, have it replaced or closed, and reach its run thread
// (RunLoop: posts, timers, REST calls). The Session implements it; every call is made on the
// connection's run thread.

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstdint>
#include <string>

#include "core/stream/run_loop.hpp"

namespace corvane {

// The WebSocket close codes a handler closes with (RFC 6455).
enum class CloseCode : std::uint16_t {
    normal = 1000,
    going_away = 1001,
    invalid_payload = 1007,
    policy_violation = 1008,
};

class RunContext {
public:
    virtual ~RunContext() = default;

    // One text frame; one JSON value as a text frame (compact, raw UTF-8, strict). Throw
    // std::runtime_error("Send failed: ...").
    virtual void send_text(const std::string& text) = 0;
    virtual void send_json(const nlohmann::json& value) = 0;
    // A request on the stream's current connection, whichever it is now; false if none is open.
    virtual bool send_request_on_stream(const nlohmann::json& value) = 0;
    // Queues one inbound message for the readers; deliver_now, outside a read (a REST reply):
    // queued at once, not with the next read's.
    virtual void deliver(std::string& payload, bool binary) = 0;
    virtual void deliver_now(std::string& payload, bool binary) = 0;
    // The answer to a request sent on this connection has come; how many have not.
    virtual void request_answered() = 0;
    virtual std::uint32_t unanswered_requests() const = 0;
    // Every replayed channel is answered: the connection can take over a stream.
    virtual void ready() = 0;
    // The exchange has answered the request to stop every push (stop_pushes).
    virtual void drained() = 0;
    // The exchange announced that it will close this connection within `closes_in`.
    virtual void replace(const std::string& why, std::chrono::seconds closes_in) = 0;
    // Closes the connection with a close handshake.
    virtual void close(CloseCode code, const std::string& reason) = 0;
    // The connection's run thread.
    virtual RunLoop& loop() = 0;
};

}  // namespace corvane
