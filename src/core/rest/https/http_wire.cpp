#include "core/rest/https/http_wire.hpp"

#include <boost/beast/http/field.hpp>

#include <ctime>
#include <stdexcept>

namespace corvane::https {
namespace {

namespace http = boost::beast::http;

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

std::optional<std::time_t> http_date(const std::string& text) {
    // IMF-fixdate, then the two obsolete forms a recipient must still read.
    for (const char* format : {"%a, %d %b %Y %H:%M:%S GMT", "%A, %d-%b-%y %H:%M:%S GMT",
                               "%a %b %e %H:%M:%S %Y"}) {
        std::tm tm{};
        const char* end = strptime(text.c_str(), format, &tm);
        if (end != nullptr && *end == '\0') return timegm(&tm);
    }
    return std::nullopt;
}

}  // namespace

HttpRequest build_request(const Endpoint& endpoint, const Request& request) {
    HttpRequest req{verb_of(request.method), request.target, 11};
    req.set(http::field::host, header_safe(endpoint.host, "host"));
    req.set(http::field::user_agent, "Boost.Beast");
    for (const auto& [name, value] : request.headers)
        req.set(header_safe(name, "header name"), header_safe(value, name.c_str()));
    req.body() = request.body;
    req.prepare_payload();
    return req;
}

std::optional<double> retry_after_of(std::string_view value,
                                     std::chrono::system_clock::time_point now) {
    if (value.empty()) return std::nullopt;
    if (value.find_first_not_of("0123456789.") == std::string_view::npos) {
        try {
            std::size_t used = 0;
            const double seconds = std::stod(std::string(value), &used);
            if (used == value.size()) return seconds;
        } catch (const std::exception&) {
        }
        return std::nullopt;  // "." or "1.2.3": not a number
    }
    const auto date = http_date(std::string(value));
    if (!date) return std::nullopt;
    const auto wait = std::chrono::system_clock::from_time_t(*date) - now;
    return std::max(0.0, std::chrono::duration<double>(wait).count());
}

Reply answered(HttpResponse&& response) {
    Reply reply;
    reply.outcome = Reply::Outcome::answered;
    reply.status = response.result_int();
    const auto retry_after = response[http::field::retry_after];
    reply.retry_after = retry_after_of(std::string_view(retry_after.data(), retry_after.size()),
                                       std::chrono::system_clock::now());
    reply.body = std::move(response.body());
    return reply;
}

}  // namespace corvane::https
