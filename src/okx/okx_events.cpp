#include "okx/okx_events.hpp"

namespace corvane::okx {

Event event_of(const nlohmann::json& value) {
    using Kind = Event::Kind;
    if (!value.is_object()) return {};
    const auto is = [&value](const char* key, const char* text) {
        const auto it = value.find(key);
        return it != value.end() && *it == nlohmann::json(text);
    };
    if (is("event", "notice") && is("code", "64008")) return {Kind::upgrade_notice};
    if (is("event", "login")) return {Kind::login, is("code", "0")};
    if (is("event", "error")) return {Kind::error};
    if (is("event", "subscribe")) return {Kind::subscribed};
    if (is("event", "unsubscribe")) return {Kind::unsubscribed};
    return {};
}

}  // namespace corvane::okx
