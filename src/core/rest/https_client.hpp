#pragma once
// The HTTPS client of REST calls: HTTP/1.1 requests on verified TLS connections kept open
// between calls, at most four per host and port, shared by the whole process (https/ holds
// how). Each call is bounded in time and never throws. A caller either waits for its reply
// (blocking) or has it delivered on an event loop that is already running (a connection's own),
// where it can be cancelled at any point without that loop ever waiting.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Only a reference to the loop passes through here: code that sees this header does not see
// Asio.
namespace boost::asio {
class io_context;
}  // namespace boost::asio

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
    std::optional<double> retry_after;  // seconds, from a Retry-After in seconds or as a date
    std::string failure;                // not_sent, unknown: why
    // answered: this machine's clock when the request's write began (the connection already
    // open) and when the whole answer had been read, both on the REST thread, so that a round
    // trip holds neither a queue's wait nor a connection's opening.
    std::optional<std::chrono::system_clock::time_point> written_at;
    std::optional<std::chrono::system_clock::time_point> answered_at;

    bool succeeded() const { return outcome == Outcome::answered && status / 100 == 2; }
};

// One request; the calling thread waits for its reply.
Reply send(const Endpoint& endpoint, const Request& request);

// Opens a connection to `endpoint` in the background, unless one is open or opening, so that
// the first call finds it ready. Never waits.
void warm(const Endpoint& endpoint);

// A request started on an event loop. Destroying it (on the loop's thread) cancels the
// request if it is still under way; its completion is then never called. The loop must outlive
// it.
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
