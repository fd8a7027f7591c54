#include "mexc/mexc_answers.hpp"

#include "core/rest/rest_answer.hpp"
#include "core/text/inbound_json.hpp"

namespace corvane::mexc {
namespace {

bool is_order(const nlohmann::json& value) {
    return value.is_object() && value.contains("orderId");
}

bool is_list_of_objects(const nlohmann::json& value) {
    if (!value.is_array()) return false;
    for (const auto& item : value)
        if (!item.is_object()) return false;
    return true;
}

}  // namespace

bool is_error_object(const nlohmann::json& value) {
    if (!value.is_object() || !value.contains("msg")) return false;
    const auto code = value.find("code");
    if (code == value.end()) return false;
    if (code->is_number_integer()) return *code != 0;
    return code->is_string() && *code != "0" && !code->get<std::string>().empty();
}

std::string documented_answer(const https::Reply& reply, Answer documented) {
    const nlohmann::json value = answer_json(reply);
    const bool documented_shape =
        documented == Answer::order ? is_order(value) : is_list_of_objects(value);
    if (documented_shape) return reply.body;
    if (is_error_object(value)) throw_refused_in_2xx(reply);
    throw_not_documented(reply);
}

std::optional<std::int64_t> error_code_in(const std::string& body) {
    try {
        const auto value = parse_inbound_json(body);
        if (is_error_object(value) && value["code"].is_number_integer()) {
            return value["code"].get<std::int64_t>();
        }
    } catch (const std::exception&) {
        // not JSON: no code
    }
    return std::nullopt;
}

}  // namespace corvane::mexc
