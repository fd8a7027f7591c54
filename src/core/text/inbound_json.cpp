#include "core/text/inbound_json.hpp"

#include <stdexcept>

namespace corvane {

nlohmann::json parse_inbound_json(const std::string& text) {
    using Event = nlohmann::json::parse_event_t;
    const nlohmann::json::parser_callback_t depth_limit = [](int depth, Event event,
                                                             nlohmann::json&) {
        if ((event == Event::object_start || event == Event::array_start) &&
            depth >= kMaxInboundJsonDepth) {
            throw std::runtime_error("JSON nested more than " +
                                     std::to_string(kMaxInboundJsonDepth) + " levels deep");
        }
        return true;
    };
    return nlohmann::json::parse(text, depth_limit);
}

}  // namespace corvane
