// MexcConnector's orders, cancels and order queries over REST (Python threads), and the REST
// host they use.

#include "core/request_errors.hpp"
#include "mexc/mexc_connector.hpp"
#include "mexc/signed_rest.hpp"

namespace corvane {

const std::vector<std::string>& MexcConnector::keywords_of(OrderCall call) const {
    static const std::vector<std::string> place = {"ord_id", "inst_id", "side", "sz",
                                                   "px",     "tdMode",  "ccy",  "cl_ord_id"};
    static const std::vector<std::string> cancel = {"msg_id", "ord_id", "inst_id", "cl_ord_id"};
    static const std::vector<std::string> query = {"inst_id", "ord_id", "cl_ord_id"};
    return call == OrderCall::place ? place : call == OrderCall::cancel ? cancel : query;
}

std::optional<std::string> MexcConnector::place_order(const ParamMap& params) {
    require_params(params, {"ord_id", "inst_id", "side", "sz"});
    return order_request("POST", mexc::order_params(params));
}

std::optional<std::string> MexcConnector::cancel_order(const ParamMap& params) {
    require_params(params, {"msg_id"});
    require_order_id(params);
    require_params(params, {"inst_id"});
    return order_request("DELETE", mexc::order_id_params(params));
}

std::string MexcConnector::query_order(const ParamMap& params) {
    if (!is_private) {
        throw std::runtime_error(
            "query_order needs a private connector: MexcConnector(unused, api_key, secret_key)");
    }
    require_params(params, {"inst_id"});
    require_order_id(params);
    return order_request("GET", mexc::order_id_params(params));
}

// The reply of an accepted request; otherwise the error that says whether the exchange refused
// it, whether it never left, or whether it may have been carried out.
std::string MexcConnector::order_request(const std::string& method, ParamMap params) const {
    return body_or_throw(mexc::send_signed(rest(), method, mexc::kOrderPath, api_secret, api_pass,
                                           std::move(params)));
}

https::Endpoint MexcConnector::rest() const {
    std::lock_guard<std::mutex> lock(rest_mtx);
    return rest_host;
}

std::string MexcConnector::rest_url() const {
    return https::url_of(rest());
}

void MexcConnector::set_rest_url(const std::string& url) {
    https::Endpoint endpoint = https::endpoint_of(url);
    std::lock_guard<std::mutex> lock(rest_mtx);
    endpoint.timeout = rest_host.timeout;
    rest_host = endpoint;
}

}  // namespace corvane
