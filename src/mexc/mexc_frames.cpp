#include "mexc/mexc_frames.hpp"

#include <nlohmann/json.hpp>

#include "core/text/inbound_json.hpp"

namespace corvane::mexc {

bool answers_subscription(const std::string& payload) {
    try {
        const auto reply = parse_inbound_json(payload);
        const auto msg = reply.is_object() ? reply.find("msg") : reply.end();
        return msg != reply.end() && msg->is_string() && *msg != "PONG";
    } catch (const std::exception&) {
        return false;
    }
}

// Pushes, the bulk, are binary: only a text frame in a phase that waits is parsed.
std::optional<HandlerEvent> frame_event(HandlerPhase phase, const std::string& payload,
                                        bool binary) {
    const bool waits = phase == HandlerPhase::replaying || phase == HandlerPhase::retiring;
    if (!waits || binary || !answers_subscription(payload)) return std::nullopt;
    return phase == HandlerPhase::replaying ? HandlerEvent::replay_answered : HandlerEvent::drained;
}

}  // namespace corvane::mexc
