#pragma once
// ConnectionHandler: what an exchange does on one connection, with that connection's own state
// (a private OKX connection's login reply, a private MEXC connection's listen key). A Session
// owns one; its callbacks run on the stream's run thread, and none after on_closed (whatever it
// still waits for, it stops there). It acts on its connection through the RunContext it is
// given, never through the transport.

#include <string>

#include "core/stream/run_context.hpp"

namespace corvane {

class ConnectionHandler {
public:
    virtual ~ConnectionHandler() = default;

    // The connection has opened: send what the exchange wants first.
    virtual void on_open(RunContext& context) = 0;
    // One data message (UTF-8 already checked); hand it to the readers with context.deliver.
    virtual void on_message(RunContext& context, std::string& payload, bool binary) = 0;
    // The open connection has closed; stop anything of this connection that still waits.
    virtual void on_closed(RunContext& /*context*/) {}
    // The connection has ended and its ending event is about to be queued: what the handler
    // still owes the reader (a message it held back) is delivered now, ahead of that event.
    virtual void on_ending(RunContext& /*context*/) {}
    // A switch-over retires this connection: ask the exchange to stop every push (unsubscribe)
    // and call context.drained() once it has answered. False: nothing was asked (nothing to
    // stop, or no way to); the connection is then closed at once.
    virtual bool stop_pushes(RunContext& /*context*/) { return false; }
};

}  // namespace corvane
