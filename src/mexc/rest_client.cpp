#include "mexc/rest_client.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <iostream>
#include <sstream>
#include <stdexcept>

#include "core/tls_context.hpp"
#include "mexc/rest_signing.hpp"

namespace corvane::mexc {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Request = http::request<http::string_body>;

constexpr std::uint64_t kBodyLimit = 8 * 1024 * 1024;

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

Request build_request(const RestEndpoint& endpoint, const std::string& method,
                      const std::string& target, const std::string& key, std::string body) {
    Request req{verb_of(method), target, 11};
    req.set(http::field::host, header_safe(endpoint.host, "host"));
    req.set(http::field::user_agent, "Boost.Beast");
    req.set("X-MEXC-APIKEY", header_safe(key, "API key"));
    req.set(http::field::content_type, "application/json");
    req.body() = std::move(body);
    req.prepare_payload();
    return req;
}

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// One request on one TLS connection, each step a short handler; the whole exchange shares
// one deadline.
class HttpsExchange {
public:
    HttpsExchange(const RestEndpoint& endpoint, Request& request)
        : endpoint(endpoint), request(request) {
        expect_peer_host(stream.native_handle(), endpoint.host);
        parser.header_limit(8192);
        parser.body_limit(kBodyLimit);
    }

    std::string run() {
        beast::get_lowest_layer(stream).expires_after(endpoint.timeout);
        resolver.async_resolve(endpoint.host, endpoint.port,
                               [this](beast::error_code ec, tcp::resolver::results_type results) {
                                   on_resolve(ec, results);
                               });
        ioc.run_for(endpoint.timeout + std::chrono::seconds(1));
        if (!failure.empty()) throw std::runtime_error(failure);
        if (!response_read) {
            throw std::runtime_error("request to " + endpoint.host + " timed out after " +
                                     std::to_string(endpoint.timeout.count()) + " ms");
        }
        return parser.release().body();
    }

private:
    bool failed(beast::error_code ec, const char* step) {
        if (!ec) return false;
        failure = std::string(step) + ": " + ec.message();
        return true;
    }

    void on_resolve(beast::error_code ec, const tcp::resolver::results_type& results) {
        if (failed(ec, "resolve")) return;
        beast::get_lowest_layer(stream).async_connect(
            results, [this](beast::error_code e, const tcp::endpoint&) { on_connect(e); });
    }

    void on_connect(beast::error_code ec) {
        if (failed(ec, "connect")) return;
        stream.async_handshake(net::ssl::stream_base::client,
                               [this](beast::error_code e) { on_handshake(e); });
    }

    void on_handshake(beast::error_code ec) {
        if (failed(ec, "handshake")) return;
        http::async_write(stream, request,
                          [this](beast::error_code e, std::size_t) { on_write(e); });
    }

    void on_write(beast::error_code ec) {
        if (failed(ec, "write")) return;
        http::async_read_header(stream, buffer, parser,
                                [this](beast::error_code e, std::size_t) { on_header(e); });
    }

    // Some Beast releases let a response's Content-Length past the body limit, so the
    // limit is checked here before the body is read, and again after it.
    void on_header(beast::error_code ec) {
        if (failed(ec, "read")) return;
        if (parser.content_length().value_or(0) > kBodyLimit) {
            failed(http::error::body_limit, "read");
            return;
        }
        http::async_read(stream, buffer, parser,
                         [this](beast::error_code e, std::size_t) { on_read(e); });
    }

    void on_read(beast::error_code ec) {
        if (failed(ec, "read")) return;
        if (parser.get().body().size() > kBodyLimit) {
            failed(http::error::body_limit, "read");
            return;
        }
        response_read = true;
        // The answer is in; a peer slow to confirm the TLS close costs at most a second.
        beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(1));
        stream.async_shutdown([](beast::error_code) {});
    }

    const RestEndpoint& endpoint;
    Request& request;
    net::io_context ioc;
    net::ssl::context tls = make_rest_tls_context();
    tcp::resolver resolver{ioc};
    beast::ssl_stream<beast::tcp_stream> stream{ioc, tls};
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    std::string failure;
    bool response_read = false;
};

}  // namespace

std::string send_signed_request(const RestEndpoint& endpoint, const std::string& method,
                                const std::string& target, const std::string& key,
                                const std::string& secret, ParamMap params) {
    try {
        SignedParams signed_params = sign_params(std::move(params), secret, now_ms());
        Request request =
            build_request(endpoint, method, target, key, std::move(signed_params.body));
        return HttpsExchange(endpoint, request).run();
    } catch (const std::exception& e) {
        std::cerr << "Error: " << e.what() << std::endl;
        return std::string();
    }
}

std::string signed_request_text(const RestEndpoint& endpoint, const std::string& method,
                                const std::string& target, const std::string& key,
                                const std::string& secret, ParamMap params,
                                std::int64_t timestamp_ms) {
    SignedParams signed_params = sign_params(std::move(params), secret, timestamp_ms);
    std::ostringstream out;
    out << build_request(endpoint, method, target, key, std::move(signed_params.body));
    return out.str();
}

}  // namespace corvane::mexc
