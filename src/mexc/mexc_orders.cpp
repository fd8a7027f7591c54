// MexcConnector's orders, cancels and order queries over REST (Python threads), and the REST
// host they use.

#include "core/rest/request_errors.hpp"
#include "core/stream/clock_watch.hpp"
#include "mexc/mexc_connector.hpp"
#include "mexc/signed_rest.hpp"

namespace corvane {

const std::vector<std::string>& MexcConnector::keywords_of(OrderCall call) const {
    static const std::vector<std::string> place = {"ord_id", "inst_id", "side", "sz",
                                                   "px",     "tdMode",  "ccy",  "cl_ord_id"};
    static const std::vector<std::string> cancel = {"msg_id", "ord_id", "inst_id", "cl_ord_id"};
    static const std::vector<std::string> query = {"inst_id", "ord_id", "cl_ord_id"};
    static const std::vector<std::string> public_channel = {"host", "symbol", "level"};
    static const std::vector<std::string> private_channel = {"channel"};
    static const std::vector<std::string> symbol = {"inst_id"};
    static const std::vector<std::string> none;
    switch (call) {
        case OrderCall::place: return place;
        case OrderCall::cancel: return cancel;
        case OrderCall::query: return query;
        case OrderCall::subscribe: return is_private ? private_channel : public_channel;
        case OrderCall::cancel_all:
        case OrderCall::open_orders: return symbol;
        case OrderCall::amend: return none;
        case OrderCall::batch: return none;
    }
    return none;
}

std::optional<std::string> MexcConnector::place_order(const ParamMap& params) {
    require_params(params, {"ord_id", "inst_id", "side", "sz"});
    return order_request("POST", mexc::order_params(params), mexc::Answer::order);
}

std::optional<std::string> MexcConnector::cancel_order(const ParamMap& params) {
    require_params(params, {"msg_id"});
    require_order_id(params);
    require_params(params, {"inst_id"});
    return order_request("DELETE", mexc::order_id_params(params), mexc::Answer::order);
}

std::string MexcConnector::query_order(const ParamMap& params) {
    require_private("query_order");
    require_params(params, {"inst_id"});
    require_order_id(params);
    return order_request("GET", mexc::order_id_params(params), mexc::Answer::order);
}

// One symbol's orders in one request: MEXC refuses a batch of several symbols itself.
std::optional<std::string> MexcConnector::batch_orders(const ParamMap& /*params*/,
                                                       const std::vector<ParamMap>& orders) {
    require_batch_size(orders);
    for (const auto& order : orders)
        require_params(order, {"inst_id", "side", "sz"});
    return order_request("POST", mexc::batch_order_params(orders), mexc::Answer::orders,
                         mexc::kBatchOrdersPath);
}

std::string MexcConnector::cancel_all_orders(const ParamMap& params) {
    require_params(params, {"inst_id"});
    return order_request("DELETE", {{"symbol", params.at("inst_id")}}, mexc::Answer::orders,
                         mexc::kOpenOrdersPath);
}

std::string MexcConnector::open_orders(const ParamMap& params) {
    require_private("open_orders");
    require_params(params, {"inst_id"});
    return order_request("GET", {{"symbol", params.at("inst_id")}}, mexc::Answer::orders,
                         mexc::kOpenOrdersPath);
}

BaseExchangeConnector::Stats MexcConnector::stats() {
    Stats s = WebSocketConnector::stats();
    s.clock_offset_ms = clock.offset();
    return s;
}

// The answer MEXC documents for an accepted request; otherwise the error that says whether the
// exchange refused it, whether it never left, or whether it may have been carried out.
std::string MexcConnector::order_request(const std::string& method, ParamMap params,
                                         mexc::Answer documented, const char* path) {
    return mexc::documented_answer(send_order_request(method, std::move(params), path),
                                   documented);
}

// A timestamp MEXC refused (700003) says the clock offset is off: it is measured again at once,
// so that the caller's next call is signed by MEXC's clock, not one ten minutes old.
https::Reply MexcConnector::send_order_request(const std::string& method, ParamMap params,
                                               const char* path) {
    measure_clock_once(clock, rest(), mexc::time_request());
    https::Reply reply = mexc::send_signed(rest(), method, path, api_secret, api_pass,
                                           std::move(params), clock_offset());
    if (reply.outcome == https::Reply::Outcome::answered && mexc::refuses_timestamp(reply.body)) {
        clock.distrust();
        measure_clock(clock, rest(), mexc::time_request());
    }
    return reply;
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
