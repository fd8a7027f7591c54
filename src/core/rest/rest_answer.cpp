#include "core/rest/rest_answer.hpp"

#include "core/rest/request_errors.hpp"
#include "core/text/inbound_json.hpp"

namespace corvane {
namespace {

std::string status_and_body(const https::Reply& reply) {
    return "HTTP " + std::to_string(reply.status) + ": " + reply.body;
}

}  // namespace

nlohmann::json answer_json(const https::Reply& reply) {
    body_or_throw(reply);
    try {
        return parse_inbound_json(reply.body);
    } catch (const std::exception&) {
        throw_not_documented(reply);
    }
}

void throw_not_documented(const https::Reply& reply) {
    throw RequestOutcomeUnknown("Request outcome unknown: not the documented answer: " +
                                status_and_body(reply));
}

void throw_refused_in_2xx(const https::Reply& reply) {
    throw RequestRefused("Request refused: " + status_and_body(reply), reply.status, reply.body,
                         reply.retry_after);
}

}  // namespace corvane
