#include "core/rest/request_errors.hpp"

namespace corvane {

std::string body_or_throw(const https::Reply& reply) {
    using Outcome = https::Reply::Outcome;
    if (reply.succeeded()) return reply.body;
    if (reply.outcome == Outcome::not_sent)
        throw RequestNotSent("Request not sent: " + reply.failure);
    if (reply.outcome == Outcome::unknown) {
        throw RequestOutcomeUnknown("Request outcome unknown: " + reply.failure);
    }
    const std::string status = "HTTP " + std::to_string(reply.status) + ": " + reply.body;
    if (reply.status / 100 == 4) {
        throw RequestRefused("Request refused: " + status, reply.status, reply.body,
                             reply.retry_after);
    }
    // 5xx, and a redirect or any other status that is neither an answer nor a refusal.
    throw RequestOutcomeUnknown("Request outcome unknown: " + status);
}

}  // namespace corvane
