#include "core/base_connector.hpp"

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

}  // namespace corvane
