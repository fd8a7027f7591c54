#pragma once
// RelistedOrders: the latest orders sent with an instIdCode the connector looked up, so that one
// OKX refuses with sCode 51001 (the instrument was relisted under a new code) can be sent once
// more with the new one: a refused order was not placed, so sending it again places it once.
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
    // An order about to go out with a looked-up code.
    void sent(const Order& order);
    // The order to send again when `payload` is OKX's 51001 refusal of one sent with a
    // looked-up code and not sent again yet; it is forgotten either way.
    std::optional<Order> refused(const std::string& payload);

private:
    static constexpr std::size_t kKept = 1024;  // the latest orders; replies come in moments

    std::mutex mtx;
    std::map<std::string, Order> orders;  // guarded by mtx: by id
    std::deque<std::string> ids;          // guarded by mtx: oldest first
};

// Whether `payload` may be a 51001 refusal of an order (a cheap test before any parsing).
bool may_be_relisted(const std::string& payload);

}  // namespace corvane::okx
