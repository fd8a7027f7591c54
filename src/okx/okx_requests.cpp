#include "okx/okx_requests.hpp"

#include <algorithm>
#include <charconv>
#include <stdexcept>

#include "crypto/crypto_extensions.hpp"

namespace corvane::okx {

using nlohmann::json;

std::string login_timestamp(std::chrono::system_clock::time_point now) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch());
    return std::to_string(seconds.count());
}

std::string login_signature(const std::string& timestamp, const std::string& secret) {
    const CryptoExtensions crypto;
    return crypto.encode64(crypto.CalcHmacSHA256(secret, timestamp + "GET" + "/users/self/verify"));
}

json login_request(const std::string& api_key, const std::string& api_pass, const std::string& sign,
                   const std::string& timestamp) {
    json arg = {
        {"apiKey", api_key}, {"passphrase", api_pass}, {"sign", sign}, {"timestamp", timestamp}};
    return {{"op", "login"}, {"args", json::array({std::move(arg)})}};
}

json subscription_request(const char* op, const std::vector<ChannelArg>& args) {
    json list = json::array();
    for (const auto& arg : args)
        list.push_back(json(arg.members));
    return {{"op", op}, {"args", std::move(list)}};
}

std::vector<json> subscription_requests(const char* op, const std::vector<ChannelArg>& args,
                                        std::size_t max_bytes) {
    std::vector<json> requests;
    std::vector<ChannelArg> part;
    std::size_t bytes = 2;  // "[" and "]"
    for (const auto& arg : args) {
        const std::size_t size = json(arg.members).dump().size();
        // One argument too large for any request still goes, alone: OKX's refusal then says so.
        if (!part.empty() && bytes + 1 + size > max_bytes) {
            requests.push_back(subscription_request(op, part));
            part.clear();
            bytes = 2;
        }
        bytes += size + (part.empty() ? 0 : 1);
        part.push_back(arg);
    }
    if (!part.empty()) requests.push_back(subscription_request(op, part));
    return requests;
}

json order_request(const Order& order) {
    return operation_request(order.ord_id, "order", json::array({order_arg(order)}));
}

json order_arg(const Order& order) {
    json arg = {{"ccy", order.ccy},         {"instId", order.inst_id}, {"ordType", order.ord_type},
                {order.px_field, order.px}, {"side", order.side},      {"sz", order.sz},
                {"tdMode", order.td_mode}};
    if (order.inst_id_code) arg["instIdCode"] = *order.inst_id_code;
    if (!order.cl_ord_id.empty()) arg["clOrdId"] = order.cl_ord_id;
    if (!order.pos_side.empty()) arg["posSide"] = order.pos_side;
    if (!order.tgt_ccy.empty()) arg["tgtCcy"] = order.tgt_ccy;
    if (order.reduce_only) arg["reduceOnly"] = *order.reduce_only;
    return arg;
}

json cancel_request(const Cancel& cancel) {
    return operation_request(cancel.msg_id, "cancel-order", json::array({cancel_arg(cancel)}));
}

json cancel_arg(const Cancel& cancel) {
    json arg = {{"instId", cancel.inst_id}};
    if (!cancel.ord_id.empty() || cancel.cl_ord_id.empty()) arg["ordId"] = cancel.ord_id;
    if (!cancel.cl_ord_id.empty()) arg["clOrdId"] = cancel.cl_ord_id;
    if (cancel.inst_id_code) arg["instIdCode"] = *cancel.inst_id_code;
    return arg;
}

json amend_arg(const Amend& amend) {
    json arg = cancel_arg(amend.order);
    for (const auto& [member, value] : amend.changes)
        arg[member] = value;
    if (amend.cxl_on_fail) arg["cxlOnFail"] = *amend.cxl_on_fail;
    return arg;
}

json operation_request(const std::string& id, const char* op, json args) {
    return {{"id", id}, {"op", op}, {"args", std::move(args)}};
}

std::optional<std::uint64_t> inst_id_code_of(const std::map<std::string, std::string>& params) {
    const auto it = params.find("inst_id_code");
    if (it == params.end()) return std::nullopt;
    const std::string& text = it->second;
    std::uint64_t code = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), code);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        throw std::invalid_argument("inst_id_code must be an int or a str of decimal digits");
    }
    return code;
}

std::optional<std::string> px_field_of(const std::map<std::string, std::string>& params) {
    const auto it = params.find("px_field");
    if (it == params.end()) return std::nullopt;
    if (it->second != "px" && it->second != "pxUsd" && it->second != "pxVol") {
        throw std::invalid_argument("px_field must be px, pxUsd or pxVol");
    }
    return it->second;
}

std::string cl_ord_id_of(const std::map<std::string, std::string>& params) {
    const auto it = params.find("cl_ord_id");
    if (it == params.end()) return {};
    const std::string& id = it->second;
    const bool alphanumeric = std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
    if (id.empty() || id.size() > 32 || !alphanumeric) {
        throw std::invalid_argument("cl_ord_id must be 1 to 32 letters and digits");
    }
    return id;
}

std::optional<bool> reduce_only_of(const std::map<std::string, std::string>& params) {
    return bool_of(params, "reduce_only");
}

std::optional<bool> bool_of(const std::map<std::string, std::string>& params,
                            const std::string& name) {
    const auto it = params.find(name);
    if (it == params.end()) return std::nullopt;
    if (it->second == "1" || it->second == "true") return true;
    if (it->second == "0" || it->second == "false") return false;
    throw std::invalid_argument(name + " must be a bool");
}

}  // namespace corvane::okx
