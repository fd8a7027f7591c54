#include "okx/okx_answers.hpp"

#include "core/rest/rest_answer.hpp"
#include "core/text/inbound_json.hpp"

namespace corvane::okx {
namespace {

bool is_envelope(const nlohmann::json& value) {
    if (!value.is_object()) return false;
    const auto code = value.find("code");
    if (code == value.end() || !code->is_string()) return false;
    if (*code != "0") return true;
    const auto data = value.find("data");
    if (data == value.end() || !data->is_array()) return false;
    for (const auto& item : *data)
        if (!item.is_object()) return false;
    return true;
}

}  // namespace

std::string documented_answer(const https::Reply& reply) {
    if (!is_envelope(answer_json(reply))) throw_not_documented(reply);
    return reply.body;
}

std::string code_in(const std::string& body) {
    try {
        const auto value = parse_inbound_json(body);
        const auto code = value.is_object() ? value.find("code") : value.end();
        if (code != value.end() && code->is_string()) return code->get<std::string>();
    } catch (const std::exception&) {
        // not JSON: no code
    }
    return {};
}

}  // namespace corvane::okx
