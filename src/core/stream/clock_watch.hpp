#pragma once
// ClockWatch: keeps a connector's ClockOffset measured against the exchange's time endpoint,
// every few minutes while a private connection lasts, on that connection's run thread and
// without blocking it (a PeriodicRest: the request runs on the connection's loop). One per
// connection; it stops with the connection. measure_clock() is the blocking measurement a
// private connect makes first, on the caller's thread.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/rest/clock/clock_offset.hpp"
#include "core/rest/https_client.hpp"
#include "core/stream/periodic_rest.hpp"
#include "core/stream/run_loop.hpp"

namespace corvane {

// Measures `offset` with `request` (an unsigned GET); on failure leaves it as it was and writes
// "Error: clock offset: <why>" to standard error.
// Records in `offset` the time an answered `reply` gives, timed by its write and answer (never
// by when it was asked for: a connection still opening would count); why not, if it gives none.
std::string record_time_reply(ClockOffset& offset, const https::Reply& reply);

void measure_clock(ClockOffset& offset, const https::Endpoint& endpoint,
                   const https::Request& request);

// The same, unless the clock was measured (or tried) before: a signed REST call made without
// any connect.
void measure_clock_once(ClockOffset& offset, const https::Endpoint& endpoint,
                        const https::Request& request);

class ClockWatch {
public:
    using EndpointOf = std::function<https::Endpoint()>;
    ClockWatch(ClockOffset& offset, EndpointOf endpoint, https::Request request,
               std::chrono::milliseconds interval);

    // Run thread: the first measurement one interval from now.
    void start(RunLoop& loop);
    // Run thread: nothing more is measured (the connection has closed).
    void stop();

private:
    ClockOffset& offset;
    const EndpointOf endpoint;
    const https::Request request;
    PeriodicRest job;  // a failed measurement waits a whole interval, like any other
};

}  // namespace corvane
