#pragma once
// The HTTP/1.1 text of a REST call: the request as it goes out, and what is read from an answer
// (its status, body and Retry-After). Pure functions, any thread.

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "core/rest/https_client.hpp"

namespace corvane::https {

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;

// The request for `endpoint`: Host, User-Agent, the caller's headers, Content-Length. Throws
// std::invalid_argument for an unknown method or a header holding CR, LF or NUL.
HttpRequest build_request(const Endpoint& endpoint, const Request& request);

// Retry-After in seconds from `now`: delay-seconds, or an HTTP date (IMF-fixdate, RFC 850 or
// asctime form; a date in the past is 0). nullopt when absent or unreadable.
std::optional<double> retry_after_of(std::string_view value,
                                     std::chrono::system_clock::time_point now);

// The reply of a whole answer.
Reply answered(HttpResponse&& response);

}  // namespace corvane::https
