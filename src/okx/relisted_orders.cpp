#include "okx/relisted_orders.hpp"

#include <nlohmann/json.hpp>

#include "core/text/inbound_json.hpp"

namespace corvane::okx {
namespace {

// Whether a reply is OKX's 51001 refusal of one order.
bool refused_as_relisted(const nlohmann::json& reply) {
    const auto data = reply.find("data");
    return reply.value("op", "") == "order" && data != reply.end() && data->is_array() &&
           data->size() == 1 && (*data)[0].is_object() &&
           (*data)[0].value("sCode", "") == "51001";
}

}  // namespace

void RelistedOrders::armed(const Order& order) {
    std::lock_guard<std::mutex> lock(mtx);
    const auto [it, added] = orders.try_emplace(order.ord_id, Entry{order, State::armed, {}});
    if (!added) it->second.state = State::ambiguous;
    ids.push_back(order.ord_id);
    while (ids.size() > kKept) {
        orders.erase(ids.front());
        ids.pop_front();
    }
}

void RelistedOrders::forget(const std::string& id) {
    std::lock_guard<std::mutex> lock(mtx);
    const auto it = orders.find(id);
    if (it != orders.end()) it->second.state = State::ambiguous;  // settled by its caller, if any
}

// armed + first 51001 → held (returned, to fetch its instrument) · armed + any other reply →
// removed · held + a reply → void (its caller takes that reply) · resent + a reply → kept for
// its caller to settle · void, ambiguous → unchanged.
std::optional<Order> RelistedOrders::answered(const std::string& payload) {
    {
        std::lock_guard<std::mutex> lock(mtx);
        if (orders.empty()) return std::nullopt;  // the usual case: no reply parsed
    }
    nlohmann::json reply;
    try {
        reply = parse_inbound_json(payload);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!reply.is_object() || !reply.contains("id") || !reply["id"].is_string())
        return std::nullopt;
    const bool relisted = refused_as_relisted(reply);
    std::lock_guard<std::mutex> lock(mtx);
    const auto found = orders.find(reply["id"].get<std::string>());
    if (found == orders.end()) return std::nullopt;
    Entry& entry = found->second;
    switch (entry.state) {
        case State::armed:
            if (!relisted) {
                orders.erase(found);  // (its id stays in `ids` until it ages out)
                return std::nullopt;
            }
            entry.state = State::held;
            entry.refusal = payload;
            return entry.order;
        case State::held:
            entry.state = State::void_;
            entry.refusal.clear();
            return std::nullopt;
        case State::resent:
        case State::void_:
        case State::ambiguous: return std::nullopt;
    }
    return std::nullopt;
}

// held + a new code → resent (send it) · held + none → removed (deliver the refusal) · anything
// else (settled, void, gone) → nothing: the caller has its answer.
RelistedOrders::Refreshed RelistedOrders::refreshed(const std::string& id,
                                                    std::optional<std::uint64_t> code) {
    std::lock_guard<std::mutex> lock(mtx);
    const auto found = orders.find(id);
    if (found == orders.end() || found->second.state != State::held) return {};
    Entry& entry = found->second;
    if (code && code != entry.order.inst_id_code) {
        entry.state = State::resent;  // (the refusal is kept in case it cannot be sent)
        Order resend = entry.order;
        resend.inst_id_code = code;
        return Refreshed{std::move(resend), std::nullopt};
    }
    Refreshed done{std::nullopt, std::move(entry.refusal)};
    orders.erase(found);
    return done;
}

std::optional<std::string> RelistedOrders::unsent(const std::string& id) {
    std::lock_guard<std::mutex> lock(mtx);
    const auto found = orders.find(id);
    if (found == orders.end() || found->second.state != State::resent) return std::nullopt;
    std::string refusal = std::move(found->second.refusal);
    orders.erase(found);
    return refusal;
}

// Every state → removed: held → refused (the caller takes the held refusal) · resent → resent
// · the rest → none.
RelistedOrders::Settled RelistedOrders::settle(const std::string& id) {
    std::lock_guard<std::mutex> lock(mtx);
    const auto found = orders.find(id);
    if (found == orders.end()) return {};
    Settled settled;
    if (found->second.state == State::held) {
        settled = Settled{Settled::Kind::refused, std::move(found->second.refusal)};
    } else if (found->second.state == State::resent) {
        settled.kind = Settled::Kind::resent;
    }
    orders.erase(found);
    return settled;
}

}  // namespace corvane::okx
