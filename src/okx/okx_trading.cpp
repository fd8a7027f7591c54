// OkxConnector's amend and batch operations on the WebSocket (Python threads): each checks
// every order first, then looks up the instrument codes, then sends one request; the replies
// arrive on the stream.

#include <utility>

#include "core/text/param_map.hpp"
#include "okx/okx_connector.hpp"

namespace corvane {
namespace {

const std::string kEmpty;

// The members an amend may change, sent as they are named; reqId from the keyword req_id.
const std::pair<const char*, const char*> kAmendMembers[] = {
    {"newSz", "newSz"}, {"newPx", "newPx"}, {"newPxUsd", "newPxUsd"},
    {"newPxVol", "newPxVol"}, {"req_id", "reqId"}};

}  // namespace

okx::Amend OkxConnector::amend_of(const ParamMap& params, bool with_msg_id) {
    okx::Amend amend{cancel_of(params, with_msg_id), {}, okx::bool_of(params, "cxlOnFail")};
    for (const auto& [keyword, member] : kAmendMembers) {
        const auto it = params.find(keyword);
        if (it != params.end()) amend.changes[member] = it->second;
    }
    // OKX amends the size, the price or both: an amend with neither changes nothing.
    if (amend.changes.count("newSz") + amend.changes.count("newPx") +
            amend.changes.count("newPxUsd") + amend.changes.count("newPxVol") ==
        0) {
        throw std::invalid_argument("Missing required parameter: newSz");
    }
    return amend;
}

void OkxConnector::amend_order(const ParamMap& params) {
    okx::Amend amend = amend_of(params, true);
    require_session();
    amend.order.inst_id_code = inst_id_code(params, amend.order.inst_id);
    send_message(okx::operation_request(amend.order.msg_id, "amend-order",
                                        nlohmann::json::array({okx::amend_arg(amend)})));
}

std::optional<std::string> OkxConnector::batch_orders(const ParamMap& params,
                                                      const std::vector<ParamMap>& orders) {
    require_params(params, {"msg_id"});
    require_batch_size(orders);
    std::vector<okx::Order> checked;
    for (const auto& order : orders) {
        // A batch is never sent again: the keyword would be ignored, so it is refused.
        if (order.count("resend_relisted") != 0) throw UnknownKeyword("resend_relisted");
        checked.push_back(order_of(order));
    }
    require_session();
    nlohmann::json args = nlohmann::json::array();
    for (std::size_t i = 0; i < orders.size(); ++i) {
        checked[i].inst_id_code = inst_id_code(orders[i], checked[i].inst_id);
        args.push_back(okx::order_arg(checked[i]));
    }
    send_message(okx::operation_request(params.at("msg_id"), "batch-orders", std::move(args)));
    return std::nullopt;
}

void OkxConnector::batch_cancel_orders(const ParamMap& params,
                                       const std::vector<ParamMap>& orders) {
    require_params(params, {"msg_id"});
    require_batch_size(orders);
    std::vector<okx::Cancel> checked;
    for (const auto& order : orders)
        checked.push_back(cancel_of(order, false));
    require_session();
    nlohmann::json args = nlohmann::json::array();
    for (std::size_t i = 0; i < orders.size(); ++i) {
        checked[i].inst_id_code = inst_id_code(orders[i], checked[i].inst_id);
        args.push_back(okx::cancel_arg(checked[i]));
    }
    send_message(
        okx::operation_request(params.at("msg_id"), "batch-cancel-orders", std::move(args)));
}

void OkxConnector::batch_amend_orders(const ParamMap& params,
                                      const std::vector<ParamMap>& orders) {
    require_params(params, {"msg_id"});
    require_batch_size(orders);
    std::vector<okx::Amend> checked;
    for (const auto& order : orders)
        checked.push_back(amend_of(order, false));
    require_session();
    nlohmann::json args = nlohmann::json::array();
    for (std::size_t i = 0; i < orders.size(); ++i) {
        checked[i].order.inst_id_code = inst_id_code(orders[i], checked[i].order.inst_id);
        args.push_back(okx::amend_arg(checked[i]));
    }
    send_message(
        okx::operation_request(params.at("msg_id"), "batch-amend-orders", std::move(args)));
}

}  // namespace corvane
