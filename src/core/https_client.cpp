#include "core/https_client.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <optional>
#include <sstream>
#include <stdexcept>

#include "core/tls_context.hpp"

namespace corvane::https {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Outcome = Reply::Outcome;
using Http = http::request<http::string_body>;
using Parser = http::response_parser<http::string_body>;

constexpr std::uint64_t kBodyLimit = 8 * 1024 * 1024;
// A peer slow to confirm the TLS close, once the answer is in, is given this long.
constexpr std::chrono::seconds kShutdownBudget{1};

http::verb verb_of(const std::string& method) {
    if (method == "POST") return http::verb::post;
    if (method == "GET") return http::verb::get;
    if (method == "PUT") return http::verb::put;
    if (method == "DELETE") return http::verb::delete_;
    throw std::invalid_argument("unsupported HTTP method " + method);
}

// A header value with CR, LF or NUL could smuggle headers of its own; such a request is refused.
const std::string& header_safe(const std::string& value, const char* what) {
    if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        throw std::invalid_argument(std::string(what) + " contains CR, LF or NUL");
    }
    return value;
}

// Retry-After in seconds (the HTTP-date form is not used by the exchanges).
std::optional<double> seconds_of(beast::string_view value) {
    if (value.empty() || value.find_first_not_of("0123456789.") != beast::string_view::npos) {
        return std::nullopt;
    }
    return std::stod(std::string(value));
}

Http build_request(const Endpoint& endpoint, const Request& request) {
    Http req{verb_of(request.method), request.target, 11};
    req.set(http::field::host, header_safe(endpoint.host, "host"));
    req.set(http::field::user_agent, "Boost.Beast");
    for (const auto& [name, value] : request.headers)
        req.set(header_safe(name, "header name"), header_safe(value, name.c_str()));
    req.body() = request.body;
    req.prepare_payload();
    return req;
}

// One request on one TLS connection, each step a short handler, the whole exchange under one
// deadline. Its handlers hold it alive; `done` is called at most once.
class HttpsExchange : public std::enable_shared_from_this<HttpsExchange> {
public:
    HttpsExchange(net::io_context& loop, Endpoint endpoint, Http request, Done done)
        : endpoint(std::move(endpoint)),
          request(std::move(request)),
          resolver(loop),
          stream(loop, tls),
          deadline(loop),
          done(std::move(done)) {
        expect_peer_host(stream.native_handle(), this->endpoint.host);
        limit(*parser);
    }

    void start() {
        deadline.expires_after(endpoint.timeout);
        deadline.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec) self->on_deadline();
        });
        resolver.async_resolve(
            endpoint.host, endpoint.port,
            [self = shared_from_this()](beast::error_code ec, tcp::resolver::results_type r) {
                self->on_resolve(ec, r);
            });
    }

    // Stops whatever is under way; `done` is not called any more.
    void cancel() {
        done = nullptr;
        finished = true;
        deadline.cancel();
        resolver.cancel();
        beast::error_code ignored;
        beast::get_lowest_layer(stream).socket().close(ignored);
    }

private:
    bool failed(beast::error_code ec, const char* step) {
        if (!ec) return false;
        if (!finished) finish_with_failure(std::string(step) + ": " + ec.message());
        return true;
    }

    void finish_with_failure(const std::string& why) {
        Reply reply;
        reply.outcome = writing ? Outcome::unknown : Outcome::not_sent;
        reply.failure = why;
        finish(reply);
        cancel();
    }

    void finish(const Reply& reply) {
        finished = true;
        Done callback = std::move(done);
        done = nullptr;
        if (callback) callback(reply);
    }

    void on_deadline() {
        if (finished) {  // the answer is in and the TLS close is overdue
            cancel();
            return;
        }
        finish_with_failure("request to " + endpoint.host + " timed out after " +
                            std::to_string(endpoint.timeout.count()) + " ms");
    }

    void on_resolve(beast::error_code ec, const tcp::resolver::results_type& results) {
        if (failed(ec, "resolve")) return;
        beast::get_lowest_layer(stream).async_connect(
            results, [self = shared_from_this()](beast::error_code e, const tcp::endpoint&) {
                self->on_connect(e);
            });
    }

    void on_connect(beast::error_code ec) {
        if (failed(ec, "connect")) return;
        stream.async_handshake(
            net::ssl::stream_base::client,
            [self = shared_from_this()](beast::error_code e) { self->on_handshake(e); });
    }

    void on_handshake(beast::error_code ec) {
        if (failed(ec, "handshake")) return;
        writing = true;  // from here on, a failure leaves the outcome unknown
        http::async_write(
            stream, request,
            [self = shared_from_this()](beast::error_code e, std::size_t) { self->on_write(e); });
    }

    void on_write(beast::error_code ec) {
        if (failed(ec, "write")) return;
        http::async_read_header(
            stream, buffer, *parser,
            [self = shared_from_this()](beast::error_code e, std::size_t) { self->on_header(e); });
    }

    // An interim answer (1xx, "100 Continue") is not the answer: the next one is read. Some
    // Beast releases let a response's Content-Length past the body limit, so the limit is
    // checked here before the body is read, and again after it.
    void on_header(beast::error_code ec) {
        if (failed(ec, "read")) return;
        if (parser->get().result_int() / 100 == 1) {
            parser.emplace();
            limit(*parser);
            http::async_read_header(stream, buffer, *parser,
                                    [self = shared_from_this()](beast::error_code e, std::size_t) {
                                        self->on_header(e);
                                    });
            return;
        }
        if (parser->content_length().value_or(0) > kBodyLimit) {
            failed(http::error::body_limit, "read");
            return;
        }
        http::async_read(
            stream, buffer, *parser,
            [self = shared_from_this()](beast::error_code e, std::size_t) { self->on_read(e); });
    }

    void on_read(beast::error_code ec) {
        if (failed(ec, "read")) return;
        if (parser->get().body().size() > kBodyLimit) {
            failed(http::error::body_limit, "read");
            return;
        }
        Reply reply;
        reply.outcome = Outcome::answered;
        reply.status = parser->get().result_int();
        reply.retry_after = seconds_of(parser->get()[http::field::retry_after]);
        reply.body = parser->release().body();
        finish(reply);
        deadline.expires_after(kShutdownBudget);
        deadline.async_wait([self = shared_from_this()](beast::error_code e) {
            if (!e) self->on_deadline();
        });
        stream.async_shutdown(
            [self = shared_from_this()](beast::error_code) { self->deadline.cancel(); });
    }

    static void limit(Parser& parser) {
        parser.header_limit(8192);
        parser.body_limit(kBodyLimit);
    }

    const Endpoint endpoint;
    Http request;
    net::ssl::context tls = make_rest_tls_context();
    tcp::resolver resolver;
    beast::ssl_stream<beast::tcp_stream> stream;
    net::steady_timer deadline;
    beast::flat_buffer buffer;
    std::optional<Parser> parser{std::in_place};
    Done done;
    bool writing = false;
    bool finished = false;
};

class PendingExchange final : public Pending {
public:
    explicit PendingExchange(std::shared_ptr<HttpsExchange> exchange)
        : exchange(std::move(exchange)) {}
    ~PendingExchange() override { exchange->cancel(); }

private:
    std::shared_ptr<HttpsExchange> exchange;
};

Reply not_sent(const std::string& why) {
    Reply reply;
    reply.failure = why;
    return reply;
}

}  // namespace

Endpoint endpoint_of(const std::string& url) {
    static const std::string scheme = "https://";
    std::string rest = url.rfind(scheme, 0) == 0 ? url.substr(scheme.size()) : std::string();
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    const auto colon = rest.rfind(':');
    Endpoint endpoint{rest.substr(0, colon)};
    if (colon != std::string::npos) endpoint.port = rest.substr(colon + 1);
    const bool port_ok = !endpoint.port.empty() &&
                         endpoint.port.find_first_not_of("0123456789") == std::string::npos;
    if (endpoint.host.empty() || !port_ok ||
        endpoint.host.find_first_of("/?#@ \r\n") != std::string::npos) {
        throw std::invalid_argument("rest_url must be https://host[:port]");
    }
    return endpoint;
}

std::string url_of(const Endpoint& endpoint) {
    return "https://" + endpoint.host + (endpoint.port == "443" ? "" : ":" + endpoint.port);
}

Reply send(const Endpoint& endpoint, const Request& request) {
    try {
        std::optional<Reply> reply;
        net::io_context loop;
        std::make_shared<HttpsExchange>(loop, endpoint, build_request(endpoint, request),
                                        [&reply](const Reply& r) { reply = r; })
            ->start();
        // The exchange keeps its own deadline; this one also bounds a resolver that hangs.
        loop.run_for(endpoint.timeout + kShutdownBudget + std::chrono::seconds(1));
        if (reply) return *reply;
        Reply unknown;
        unknown.outcome = Outcome::unknown;
        unknown.failure = "request to " + endpoint.host + " did not finish";
        return unknown;
    } catch (const std::exception& e) {
        return not_sent(e.what());
    }
}

std::unique_ptr<Pending> start(net::io_context& loop, const Endpoint& endpoint,
                               const Request& request, Done done) {
    const Done report = done;
    try {
        auto exchange = std::make_shared<HttpsExchange>(
            loop, endpoint, build_request(endpoint, request), std::move(done));
        exchange->start();
        return std::make_unique<PendingExchange>(std::move(exchange));
    } catch (const std::exception& e) {
        // Reported from the loop, like any other failure.
        net::post(loop, [report, why = std::string(e.what())] { report(not_sent(why)); });
        return nullptr;
    }
}

std::string wire_text(const Endpoint& endpoint, const Request& request) {
    std::ostringstream out;
    out << build_request(endpoint, request);
    return out.str();
}

}  // namespace corvane::https
