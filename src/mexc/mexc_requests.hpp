#pragma once
// The WebSocket requests and REST parameters a MexcConnector sends, as pure functions.

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "core/rest/https_client.hpp"
#include "core/text/param_map.hpp"

namespace corvane::mexc {

inline constexpr char kListenKeyPath[] = "/api/v3/userDataStream";
inline constexpr char kOrderPath[] = "/api/v3/order";
inline constexpr char kBatchOrdersPath[] = "/api/v3/batchOrders";
inline constexpr char kOpenOrdersPath[] = "/api/v3/openOrders";

struct PublicChannel {
    std::string host, symbol, level;
    bool operator==(const PublicChannel& other) const {
        return host == other.host && symbol == other.symbol && level == other.level;
    }
};

// host@symbol@level, or host@symbol when the level is empty (MEXC refuses a trailing "@").
std::string compose_channel(const PublicChannel& channel);

// The stream URL of a private connection: the listen key percent-encoded, after "?" or after
// the query the caller's URL already has.
std::string with_listen_key(const std::string& url, const std::string& key);

// {"method":"SUBSCRIPTION","params":[c1,c2,...]}
nlohmann::json subscription_request(const std::vector<std::string>& channels);
// {"method":"UNSUBSCRIPTION","params":[c]}: a flat list, as SUBSCRIPTION; MEXC documents no other
// form, and a stream it kept would keep one of the 30 slots.
nlohmann::json unsubscription_request(const std::string& channel);
// {"method":"PING"}
nlohmann::json ping_request();

// REST parameters of POST /api/v3/order from an order call's keywords: symbol, side and
// quantity, then type, price and newClientOrderId when given and not empty.
ParamMap order_params(const ParamMap& keywords);
// REST parameters naming one order (DELETE and GET /api/v3/order): symbol, and orderId and
// origClientOrderId for those of ord_id and cl_ord_id given.
ParamMap order_id_params(const ParamMap& keywords);
// REST parameters of POST /api/v3/batchOrders: "batchOrders", the JSON list of each order's
// parameters (as order_params gives them).
ParamMap batch_order_params(const std::vector<ParamMap>& orders);
// GET /api/v3/time: {"serverTime":1645539742000}.
https::Request time_request();

}  // namespace corvane::mexc
