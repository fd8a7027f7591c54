#pragma once
// What a frame MEXC sends on a stream means for the connection's phase (handler_phase.hpp): the
// answer to its replayed subscription makes it ready, the answer to its unsubscription while
// it retires drains it. Pure, so that a connection's handler is tested by feeding it frames.

#include <optional>
#include <string>

#include "core/stream/handler_phase.hpp"

namespace corvane::mexc {

// Whether a text frame is MEXC's answer to a subscription or an unsubscription (not to a PING).
bool answers_subscription(const std::string& payload);

// The phase's event a frame brings in `phase`; nullopt when it brings none (the frame is
// delivered either way).
std::optional<HandlerEvent> frame_event(HandlerPhase phase, const std::string& payload,
                                        bool binary);

}  // namespace corvane::mexc
