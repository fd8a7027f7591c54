#pragma once
// RelistedOrders: the latest orders sent with an instIdCode the connector looked up, so that one
// OKX refuses with sCode 51001 (the instrument was relisted under a new code) can be sent once
// more with the new one: a refused order was not placed, so sending it again places it once.
// The caller's id is all a reply names, so an entry lasts only until its id is answered or
// reused.
// Orders go in on Python threads; refusals are examined on the run thread; one lock, taken
// alone.

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "okx/okx_requests.hpp"

namespace corvane::okx {

class RelistedOrders {
public:
    // An order about to go out with a looked-up code. An id recorded already is ambiguous
    // (which order would a refusal be of?): neither is sent again.
    void sent(const Order& order);
    // An order with this id goes out with the caller's own code, or one recorded did not go
    // out: nothing of that id is sent again.
    void forget(const std::string& id);
    // Any reply to an operation (`payload` starts with its id) forgets its id's order; that
    // order is returned, to send again, when the reply is OKX's 51001 refusal of it.
    std::optional<Order> answered(const std::string& payload);

private:
    static constexpr std::size_t kKept = 1024;  // the latest orders; replies come in moments

    std::mutex mtx;
    // Guarded by mtx: by id; none for an ambiguous id.
    std::map<std::string, std::optional<Order>> orders;
    std::deque<std::string> ids;          // guarded by mtx: oldest first
};

}  // namespace corvane::okx
