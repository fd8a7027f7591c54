#pragma once
// The MEXC REST client: one signed HTTPS/1.1 request per call on a fresh, verified TLS
// connection, bounded in time, never throwing. A request runs either on the calling thread
// (blocking) or on an event loop that is already running (a connection's own), where it can be
// cancelled at any point.

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/param_map.hpp"

namespace corvane::mexc {

struct RestEndpoint {
    std::string host = "api.mexc.com";
    std::string port = "443";
    std::chrono::milliseconds timeout{10000};  // resolve, connect, handshake, write and read
};

// How a request ended.
struct RestReply {
    enum class Outcome {
        answered,  // a whole response came back: `status` and `body`
        not_sent,  // it never left (resolution, connection, TLS handshake, unsafe value)
        unknown,   // it was sent, but no whole response came: the exchange may have acted on it
    };
    Outcome outcome = Outcome::not_sent;
    unsigned status = 0;
    std::string body;
    std::string failure;  // not_sent, unknown: why

    bool succeeded() const { return outcome == Outcome::answered && status / 100 == 2; }
};

// One signed request on the calling thread: `params` are signed with `secret` and sent as the
// body of `method target`, with `key` in "X-MEXC-APIKEY".
RestReply signed_request(const RestEndpoint& endpoint, const std::string& method,
                         const std::string& target, const std::string& key,
                         const std::string& secret, ParamMap params);

// A request started on an event loop. Destroying it (on the loop's thread) cancels the
// request if it is still under way; its completion is then never called.
class PendingRequest {
public:
    virtual ~PendingRequest() = default;
};

// The same request on `loop`, whose thread then calls `done` with the reply.
using RestDone = std::function<void(const RestReply&)>;
std::unique_ptr<PendingRequest> start_signed_request(
    boost::asio::io_context& loop, const RestEndpoint& endpoint, const std::string& method,
    const std::string& target, const std::string& key, const std::string& secret, ParamMap params,
    RestDone done);

// The body whatever the status; on any failure writes "Error: " and the reason to standard
// error and returns the empty text.
std::string send_signed_request(const RestEndpoint& endpoint, const std::string& method,
                                const std::string& target, const std::string& key,
                                const std::string& secret, ParamMap params);

// The request bytes `send_signed_request` would write, for a given timestamp (no I/O).
std::string signed_request_text(const RestEndpoint& endpoint, const std::string& method,
                                const std::string& target, const std::string& key,
                                const std::string& secret, ParamMap params,
                                std::int64_t timestamp_ms);

}  // namespace corvane::mexc
