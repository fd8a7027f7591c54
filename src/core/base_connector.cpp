#include "core/base_connector.hpp"

#include <algorithm>
#include <stdexcept>

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

}  // namespace corvane
