#pragma once
// The HTTPS client of REST calls: one HTTP/1.1 request per call on a fresh, verified TLS
// connection, bounded in time, never throwing. A request runs either on the calling thread
// (blocking) or on an event loop that is already running (a connection's own), where it can be
// cancelled at any point.

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvane::https {

struct Endpoint {
    std::string host;
    std::string port = "443";
    std::chrono::milliseconds timeout{10000};  // resolve, connect, handshake, write and read
};

// "https://host[:port]" (a trailing "/" allowed) as an endpoint; std::invalid_argument for any
// other text. And back: "https://host", with ":port" unless it is 443.
Endpoint endpoint_of(const std::string& url);
std::string url_of(const Endpoint& endpoint);

struct Request {
    std::string method;                                        // GET, POST, PUT or DELETE
    std::string target;                                        // path and query
    std::vector<std::pair<std::string, std::string>> headers;  // besides Host and User-Agent
    std::string body;
};

// How a request ended.
struct Reply {
    enum class Outcome {
        answered,  // a whole response came back: `status` and `body`
        not_sent,  // it never left (resolution, connection, TLS handshake, unsafe value)
        unknown,   // it was sent, but no whole response came: the server may have acted on it
    };
    Outcome outcome = Outcome::not_sent;
    unsigned status = 0;
    std::string body;
    std::optional<double> retry_after;  // seconds, when the answer had a Retry-After in seconds
    std::string failure;                // not_sent, unknown: why

    bool succeeded() const { return outcome == Outcome::answered && status / 100 == 2; }
};

// One request on the calling thread.
Reply send(const Endpoint& endpoint, const Request& request);

// A request started on an event loop. Destroying it (on the loop's thread) cancels the
// request if it is still under way; its completion is then never called.
class Pending {
public:
    virtual ~Pending() = default;
};

// The same request on `loop`, whose thread then calls `done` with the reply.
using Done = std::function<void(const Reply&)>;
std::unique_ptr<Pending> start(boost::asio::io_context& loop, const Endpoint& endpoint,
                               const Request& request, Done done);

// The bytes `send` would write (no I/O). Throws std::invalid_argument for an unsafe request.
std::string wire_text(const Endpoint& endpoint, const Request& request);

}  // namespace corvane::https
