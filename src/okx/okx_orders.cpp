// OkxConnector's orders, cancels and order queries (Python threads), and the REST host they use.

#include <chrono>
#include <stdexcept>

#include "core/rest/request_errors.hpp"
#include "core/stream/clock_watch.hpp"
#include "okx/okx_account_rest.hpp"
#include "okx/okx_connector.hpp"
#include "okx/okx_rest.hpp"

namespace corvane {
namespace {

// An instrument lookup holds up the first order on an instrument at most this long.
constexpr std::chrono::milliseconds kLookupTimeout{5000};

const std::string kEmpty;

}  // namespace

const std::vector<std::string>& OkxConnector::keywords_of(OrderCall call) const {
    static const std::vector<std::string> place = {
        "ord_id",  "inst_id",      "side",     "px",        "sz",       "tdMode",  "ccy",
        "ordType", "inst_id_code", "px_field", "cl_ord_id", "pos_side", "tgt_ccy", "reduce_only",
        "resend_relisted"};
    static const std::vector<std::string> cancel = {"msg_id", "ord_id", "cl_ord_id", "inst_id",
                                                    "inst_id_code"};
    static const std::vector<std::string> query = {"inst_id", "ord_id", "cl_ord_id"};
    static const std::vector<std::string> subscribe = {
        "channel", "inst_id", "inst_type", "inst_family", "ccy", "extra_params"};
    static const std::vector<std::string> amend = {
        "msg_id", "ord_id",   "cl_ord_id", "inst_id",   "inst_id_code",
        "newSz",  "newPx",    "newPxUsd",  "newPxVol",  "cxlOnFail", "req_id"};
    static const std::vector<std::string> open = {"inst_type", "inst_family", "inst_id",
                                                  "ordType",   "state",       "after",
                                                  "before",    "limit"};
    static const std::vector<std::string> batch = {"msg_id"};
    static const std::vector<std::string> none;
    switch (call) {
        case OrderCall::place: return place;
        case OrderCall::cancel: return cancel;
        case OrderCall::query: return query;
        case OrderCall::subscribe: return subscribe;
        case OrderCall::amend: return amend;
        case OrderCall::open_orders: return open;
        case OrderCall::cancel_all: return none;
        case OrderCall::batch: return batch;
    }
    return none;
}

std::optional<std::string> OkxConnector::place_order(const ParamMap& params) {
    require_params(params, {"ord_id"});
    const okx::Order checked = order_of(params);  // its instrument code comes after the session
    require_session();
    okx::Order order = checked;
    // Sent once more after a 51001 only while its caller waits for the reply (and settles it).
    const bool resendable = !okx::inst_id_code_of(params).has_value() &&
                            okx::bool_of(params, "resend_relisted").value_or(false);
    order.inst_id_code = inst_id_code(params, order.inst_id);
    if (resendable) {
        relisted.armed(order);
    } else {
        relisted.forget(order.ord_id);
    }
    try {
        send_message(okx::order_request(order));
    } catch (...) {
        relisted.forget(order.ord_id);
        throw;
    }
    return std::nullopt;  // the exchange's reply arrives on the stream
}

okx::RelistedOrders::Settled OkxConnector::settle_order(const std::string& ord_id) {
    return relisted.settle(ord_id);
}

std::optional<std::string> OkxConnector::cancel_order(const ParamMap& params) {
    okx::Cancel cancel = cancel_of(params, true);
    require_session();
    cancel.inst_id_code = inst_id_code(params, cancel.inst_id);
    send_message(okx::cancel_request(cancel));
    return std::nullopt;
}

// An order's keywords, checked; no instrument code yet.
okx::Order OkxConnector::order_of(const ParamMap& params) {
    require_params(params, {"inst_id", "side", "px", "sz"});
    const std::string& inst_id = params.at("inst_id");
    okx::Order order;
    order.ord_id = param_or(params, "ord_id", kEmpty);
    order.inst_id = inst_id;
    order.side = params.at("side");
    order.px = params.at("px");
    order.sz = params.at("sz");
    order.td_mode = param_or(params, "tdMode", kEmpty);
    order.ccy = param_or(params, "ccy", kEmpty);
    order.ord_type = param_or(params, "ordType", "market");
    // OKX takes "px" for every instrument but options, whose prices go as "pxUsd" (or "pxVol").
    order.px_field =
        okx::px_field_of(params).value_or(okx::inst_type_of(inst_id) == "OPTION" ? "pxUsd" : "px");
    order.cl_ord_id = okx::cl_ord_id_of(params);
    order.pos_side = param_or(params, "pos_side", kEmpty);
    order.tgt_ccy = param_or(params, "tgt_ccy", kEmpty);
    order.reduce_only = okx::reduce_only_of(params);
    return order;
}

// A cancel's keywords (msg_id first when the request is its own), checked; no code yet.
okx::Cancel OkxConnector::cancel_of(const ParamMap& params, bool with_msg_id) {
    if (with_msg_id) require_params(params, {"msg_id"});
    require_order_id(params);
    require_params(params, {"inst_id"});
    return okx::Cancel{param_or(params, "msg_id", kEmpty), param_or(params, "ord_id", kEmpty),
                       okx::cl_ord_id_of(params), params.at("inst_id"), std::nullopt};
}

std::string OkxConnector::query_order(const ParamMap& params) {
    require_private("query_order");
    require_params(params, {"inst_id"});
    require_order_id(params);
    const std::string target = okx::order_query_target(
        params.at("inst_id"), param_or(params, "ord_id", kEmpty), okx::cl_ord_id_of(params));
    return signed_call([&](const std::string& timestamp, bool demo) {
        return okx::signed_get(target, credentials, demo, timestamp);
    });
}

std::uint64_t OkxConnector::inst_id_code(const ParamMap& params, const std::string& inst_id) {
    if (const auto given = okx::inst_id_code_of(params)) return *given;
    if (const auto cached = cached_code(inst_id)) return *cached;
    const std::string what = "instrument code for " + inst_id;
    const okx::InstrumentCodes listed =
        fetch_codes(okx::inst_type_of(inst_id), okx::inst_family_of(inst_id), what);
    const auto code = listed.codes.find(inst_id);
    if (code != listed.codes.end()) return code->second;
    const std::string text = "Request not sent: no " + what + ": ";
    if (listed.unusable.count(inst_id) != 0)
        throw RequestNotSent(text + "the instruments reply gives it no instIdCode");
    // OKX's answer is that it has no such instrument: sending again would get the same answer.
    throw RequestRefused(text + "OKX lists no such instrument", listed.status, "", std::nullopt);
}

std::size_t OkxConnector::load_instruments(const std::string& inst_type,
                                           const std::string& inst_family) {
    return fetch_codes(inst_type, inst_family, "instrument codes for " + inst_type)
        .codes.size();
}

std::uint64_t OkxConnector::instrument_code(const std::string& inst_id) {
    return inst_id_code(ParamMap{}, inst_id);
}

std::optional<std::uint64_t> OkxConnector::cached_code(const std::string& inst_id) {
    std::lock_guard<std::mutex> lock(codes_mtx);
    const auto cached = codes.find(inst_id);
    if (cached == codes.end()) return std::nullopt;
    return cached->second;
}

// One request for every instrument of the type (and family), all cached. A refusal (4xx, or an
// OKX error code in a 200 reply) is RequestRefused; anything else that gives no list,
// RequestNotSent: the order waiting for it was not sent.
okx::InstrumentCodes OkxConnector::fetch_codes(const std::string& inst_type,
                                               const std::string& inst_family,
                                               const std::string& what) {
    https::Endpoint endpoint;
    const https::Reply reply =
        https::send(endpoint, instruments_request(inst_type, inst_family, &endpoint));
    const std::string refused = "Request refused: no " + what + ": ";
    const std::string not_sent = "Request not sent: no " + what + ": ";
    if (reply.outcome != https::Reply::Outcome::answered) throw RequestNotSent(not_sent + reply.failure);
    const std::string status = "HTTP " + std::to_string(reply.status) + ": " + reply.body;
    if (reply.status / 100 == 4)
        throw RequestRefused(refused + status, reply.status, reply.body, reply.retry_after);
    if (reply.status / 100 != 2) throw RequestNotSent(not_sent + status);
    okx::InstrumentCodes listed;
    try {
        listed = okx::instrument_codes_in(reply.body);
        listed.status = reply.status;
    } catch (const okx::OkxError& e) {
        throw RequestRefused(refused + e.what(), reply.status, reply.body, reply.retry_after);
    } catch (const std::exception& e) {
        throw RequestNotSent(not_sent + e.what());
    }
    std::lock_guard<std::mutex> lock(codes_mtx);
    for (const auto& [inst_id, code] : listed.codes) codes[inst_id] = code;
    return listed;
}

https::Request OkxConnector::instruments_request(const std::string& inst_type,
                                                const std::string& inst_family,
                                                https::Endpoint* endpoint) const {
    bool demo_trading = false;
    *endpoint = rest_endpoint(&demo_trading);
    endpoint->timeout = std::min(endpoint->timeout, kLookupTimeout);
    https::Request request = okx::instruments_request(inst_type, inst_family);
    if (demo_trading) request.headers.emplace_back("x-simulated-trading", "1");
    return request;
}

https::Request OkxConnector::instruments_request_for(const std::string& inst_id,
                                                    https::Endpoint* endpoint) const {
    return instruments_request(okx::inst_type_of(inst_id), okx::inst_family_of(inst_id), endpoint);
}

std::optional<std::uint64_t> OkxConnector::code_in_reply(const https::Reply& reply,
                                                         const std::string& inst_id) {
    if (!reply.succeeded()) return std::nullopt;
    okx::InstrumentCodes listed;
    try {
        listed = okx::instrument_codes_in(reply.body);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    std::lock_guard<std::mutex> lock(codes_mtx);
    for (const auto& [id, code] : listed.codes) codes[id] = code;
    const auto code = listed.codes.find(inst_id);
    if (code == listed.codes.end()) return std::nullopt;
    return code->second;
}

https::Endpoint OkxConnector::rest_endpoint(bool* demo_trading) const {
    std::lock_guard<std::mutex> lock(rest_mtx);
    if (demo_trading != nullptr) *demo_trading = demo;
    return rest_given.value_or(rest_default);
}

std::string OkxConnector::rest_url() const {
    return https::url_of(rest_endpoint());
}

void OkxConnector::set_rest_url(const std::string& url) {
    const https::Endpoint endpoint = https::endpoint_of(url);
    std::lock_guard<std::mutex> lock(rest_mtx);
    rest_given = endpoint;
}

}  // namespace corvane
