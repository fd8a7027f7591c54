#pragma once
// What an OKX event frame ({"event":...}) on a WebSocket connection is, for the connection's
// handler to act on by its phase (handler_phase.hpp). Pure, so that the handler's reading of
// OKX's frames is tested by feeding them.

#include <nlohmann/json.hpp>

namespace corvane::okx {

struct Event {
    enum class Kind {
        other,           // anything else (a notice of another code, a channel-conn-count)
        upgrade_notice,  // notice 64008: OKX closes the connection in about 60 s
        login,           // the login's answer: `accepted` when its code is "0"
        error,           // a refusal: of the login, a subscription or an unsubscription
        subscribed,      // a subscription's acknowledgement; its "arg" names the channel
        unsubscribed,    // an unsubscription's acknowledgement
    };
    Kind kind = Kind::other;
    bool accepted = false;

    // Whether it answers the login: an acceptance, or any refusal while one is awaited.
    bool answers_login() const { return kind == Kind::login || kind == Kind::error; }
};

// The event `value` is (a value that is not an object is `other`).
Event event_of(const nlohmann::json& value);

}  // namespace corvane::okx
