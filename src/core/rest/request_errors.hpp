#pragma once
// The errors of a REST call (an order, a query, a listen key, an instrument lookup), each with the
// text it has always had. Python sees them as RequestRefused, RequestOutcomeUnknown and
// RequestNotSent, subclasses of RuntimeError.

#include <optional>
#include <stdexcept>
#include <string>

#include "core/rest/https_client.hpp"

namespace corvane {

// The server answered with a refusal (4xx): nothing was done.
struct RequestRefused : std::runtime_error {
    RequestRefused(const std::string& text, unsigned status, std::string body,
                   std::optional<double> retry_after)
        : std::runtime_error(text),
          status(status),
          body(std::move(body)),
          retry_after(retry_after) {}
    unsigned status;
    std::string body;
    std::optional<double> retry_after;  // seconds, from Retry-After
};

// The request was sent, but no whole answer came, or a 5xx one (or any other status neither 2xx
// nor 4xx, such as a redirect): it may have been carried out.
struct RequestOutcomeUnknown : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The request never left: nothing was done.
struct RequestNotSent : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The body of a 2xx reply; for any other outcome, the error that says what it means.
std::string body_or_throw(const https::Reply& reply);

}  // namespace corvane
