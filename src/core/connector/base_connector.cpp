#include "core/connector/base_connector.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace corvane {

void BaseExchangeConnector::require_params(const ParamMap& params,
                                           const std::vector<std::string>& required) const {
    for (const auto& key : required) {
        if (params.find(key) == params.end()) {
            throw std::invalid_argument("Missing required parameter: " + key);
        }
    }
}

void BaseExchangeConnector::require_order_id(const ParamMap& params) const {
    if (params.count("ord_id") == 0 && params.count("cl_ord_id") == 0) {
        throw std::invalid_argument("Missing required parameter: ord_id");
    }
}

void BaseExchangeConnector::refuse_unknown(OrderCall call,
                                           const std::vector<std::string>& given) const {
    const auto& known = keywords_of(call);
    for (const auto& name : given) {
        if (std::find(known.begin(), known.end(), name) == known.end()) throw UnknownKeyword(name);
    }
}

void BaseExchangeConnector::refuse_unknown_in_item(OrderCall call,
                                                   const std::vector<std::string>& given) const {
    // The request's id belongs to the request, not to one of its orders.
    const std::string request_id = call == OrderCall::place ? "ord_id" : "msg_id";
    const auto& known = keywords_of(call);
    for (const auto& name : given) {
        if (name == request_id || std::find(known.begin(), known.end(), name) == known.end()) {
            throw UnknownKeyword(name);
        }
    }
}

void BaseExchangeConnector::require_batch_size(const std::vector<ParamMap>& orders) {
    if (orders.empty() || orders.size() > kMaxBatch) {
        throw std::invalid_argument("orders must hold 1 to " + std::to_string(kMaxBatch) +
                                    " orders");
    }
}

void BaseExchangeConnector::require_private(const char* call) const {
    if (!has_credentials()) {
        throw std::runtime_error(std::string(call) + " needs a private connector: " +
                                 private_constructor());
    }
}

}  // namespace corvane
