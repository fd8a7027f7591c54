#include "okx/relisted_orders.hpp"

#include <nlohmann/json.hpp>

#include "core/inbound_json.hpp"

namespace corvane::okx {

bool may_be_relisted(const std::string& payload) {
    return payload.compare(0, 6, R"({"id":)") == 0 &&
           payload.find(R"("sCode":"51001")") != std::string::npos;
}

void RelistedOrders::sent(const Order& order) {
    std::lock_guard<std::mutex> lock(mtx);
    if (orders.insert_or_assign(order.ord_id, order).second) ids.push_back(order.ord_id);
    while (ids.size() > kKept) {
        orders.erase(ids.front());
        ids.pop_front();
    }
}

std::optional<Order> RelistedOrders::refused(const std::string& payload) {
    nlohmann::json reply;
    try {
        reply = parse_inbound_json(payload);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!reply.is_object() || reply.value("op", "") != "order" || !reply["id"].is_string())
        return std::nullopt;
    const auto data = reply.find("data");
    if (data == reply.end() || !data->is_array() || data->size() != 1 ||
        !(*data)[0].is_object() || (*data)[0].value("sCode", "") != "51001") {
        return std::nullopt;
    }
    std::lock_guard<std::mutex> lock(mtx);
    const auto found = orders.find(reply["id"].get<std::string>());
    if (found == orders.end()) return std::nullopt;
    Order order = std::move(found->second);
    orders.erase(found);  // (its id stays in `ids` until it ages out: erasing twice is harmless)
    return order;
}

}  // namespace corvane::okx
