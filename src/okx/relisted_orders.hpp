#pragma once
// RelistedOrders: orders sent with an instIdCode the connector looked up whose caller waits for
// the reply, so that one OKX refuses with sCode 51001 (the instrument was relisted under a new
// code) can be sent once more with the new one while that caller still waits: a refused order
// was not placed, so sending it again places it once, and the caller's result is the resend's.
// The caller's end (settle) and the resend decide under one lock; whichever comes first wins
// and the other does nothing. An order nobody waits for is never sent again.
// The caller's id is all a reply names, so an entry lasts only until its caller settles it (or
// its id is reused, or it ages out).
// Orders go in and are settled on Python threads; replies and refreshes are examined on the
// run thread; one lock, taken alone.

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "okx/okx_requests.hpp"

namespace corvane::okx {

class RelistedOrders {
public:
    // What a settled order's caller has to know about it.
    struct Settled {
        enum class Kind {
            none,     // nothing was or will be sent again: the reply it has (if any) is the answer
            resent,   // sent once more with the new code: the answer is the resend's reply
            refused,  // refused with 51001 and never sent again: `refusal` is that reply
        };
        Kind kind = Kind::none;
        std::string refusal;
    };
    // What the run thread does once the instrument list has come (or never will).
    struct Refreshed {
        std::optional<Order> resend;         // send this, with the new code
        std::optional<std::string> deliver;  // else deliver this refusal on the stream
    };

    // An order about to go out with a looked-up code, its caller waiting for the reply. An id
    // recorded already is ambiguous (which order would a refusal be of?): neither is sent again.
    void armed(const Order& order);
    // An order with this id goes out unarmed, or one recorded did not go out: nothing of that
    // id is sent again.
    void forget(const std::string& id);
    // Any reply to an operation (`payload` starts with its id) answers its id's order; that
    // order is returned, its instrument to be fetched again, when the reply is OKX's first
    // 51001 refusal of it and its caller still waits (the refusal is then held, not delivered).
    std::optional<Order> answered(const std::string& payload);
    // The instrument list for a held refusal came with `code` (nullopt: none came, or the
    // connection ended): what to do, decided under the lock against the caller's settling.
    Refreshed refreshed(const std::string& id, std::optional<std::uint64_t> code);
    // The resend decided on could not be sent: its refusal stands, to deliver (nullopt when
    // its caller settled meanwhile).
    std::optional<std::string> unsent(const std::string& id);
    // The caller of `id` stops waiting (a reply, a timeout, an error): nothing is sent again
    // after this.
    Settled settle(const std::string& id);

private:
    // armed: sent, unanswered · held: its 51001 held while the list is fetched · void: answered
    // again meanwhile, so it is not sent again · resent: sent again · ambiguous: id reused.
    enum class State { armed, held, void_, resent, ambiguous };
    struct Entry {
        Order order;
        State state;
        std::string refusal;  // while held or resent
    };
    static constexpr std::size_t kKept = 1024;  // the latest orders; callers settle in seconds

    std::mutex mtx;
    std::map<std::string, Entry> orders;  // guarded by mtx: by id
    std::deque<std::string> ids;          // guarded by mtx: oldest first
};

}  // namespace corvane::okx
