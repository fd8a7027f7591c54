#include "okx/relisted_orders.hpp"

#include <nlohmann/json.hpp>

#include "core/inbound_json.hpp"

namespace corvane::okx {

void RelistedOrders::sent(const Order& order) {
    std::lock_guard<std::mutex> lock(mtx);
    const auto [it, added] = orders.try_emplace(order.ord_id, order);
    if (!added) it->second.reset();
    if (added) ids.push_back(order.ord_id);
    while (ids.size() > kKept) {
        orders.erase(ids.front());
        ids.pop_front();
    }
}

void RelistedOrders::forget(const std::string& id) {
    std::lock_guard<std::mutex> lock(mtx);
    orders.erase(id);  // (its id stays in `ids` until it ages out: erasing twice is harmless)
}

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
    std::optional<Order> order;
    {
        std::lock_guard<std::mutex> lock(mtx);
        const auto found = orders.find(reply["id"].get<std::string>());
        if (found == orders.end()) return std::nullopt;
        order = std::move(found->second);
        orders.erase(found);  // (its id stays in `ids` until it ages out)
    }
    const auto data = reply.find("data");
    if (reply.value("op", "") != "order" || data == reply.end() || !data->is_array() ||
        data->size() != 1 || !(*data)[0].is_object() || (*data)[0].value("sCode", "") != "51001") {
        return std::nullopt;
    }
    return order;
}

}  // namespace corvane::okx
