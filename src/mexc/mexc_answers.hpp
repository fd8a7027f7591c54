#pragma once
// The answers MEXC documents for its signed REST calls, checked before one is taken for an
// answer: a 2xx that is not the documented answer may hide an order placed, so it is an
// unknown outcome; an error code in a 2xx ({"code":700004,"msg":...}) is the refusal it names.
// Pure functions, any thread.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

#include "core/rest/https_client.hpp"

namespace corvane::mexc {

enum class Answer {
    order,   // an object with "orderId": a placement, a cancel, a query
    orders,  // a list of objects: a batch, the open orders, cancel-all
};

// The body of `reply` when it is the answer documented; the error saying what it means
// otherwise (body_or_throw's for a reply that is not a 2xx).
std::string documented_answer(const https::Reply& reply, Answer documented);

// Whether `value` is MEXC's error object: a non-zero "code" beside a "msg".
bool is_error_object(const nlohmann::json& value);

// MEXC's error code in an answer ({"code":700003,"msg":...}); nullopt when it carries none.
std::optional<std::int64_t> error_code_in(const std::string& body);
// Whether an answer is MEXC's refusal of the request's timestamp (700003).
inline bool refuses_timestamp(const std::string& body) { return error_code_in(body) == 700003; }

}  // namespace corvane::mexc
