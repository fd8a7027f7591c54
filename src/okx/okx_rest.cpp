#include "okx/okx_rest.hpp"

#include <nlohmann/json.hpp>

#include <ctime>
#include <stdexcept>

#include "core/text/inbound_json.hpp"
#include "core/text/url_encode.hpp"
#include "crypto/crypto_extensions.hpp"

namespace corvane::okx {
namespace {

std::vector<std::string> parts_of(const std::string& inst_id) {
    std::vector<std::string> parts(1);
    for (const char c : inst_id) {
        if (c == '-') {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    return parts;
}

bool all_digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::string inst_type_of(const std::string& inst_id) {
    const auto parts = parts_of(inst_id);
    if (parts.size() == 3 && parts[2] == "SWAP") return "SWAP";
    if (parts.size() == 3 && all_digits(parts[2])) return "FUTURES";
    if (parts.size() == 5 && (parts[4] == "C" || parts[4] == "P")) return "OPTION";
    return "SPOT";
}

std::string inst_family_of(const std::string& inst_id) {
    if (inst_type_of(inst_id) != "OPTION") return std::string();
    const auto parts = parts_of(inst_id);
    return parts[0] + "-" + parts[1];
}

https::Request instruments_request(const std::string& inst_type, const std::string& inst_family) {
    std::string target = "/api/v5/public/instruments?instType=" + url_encode(inst_type);
    if (!inst_family.empty()) target += "&instFamily=" + url_encode(inst_family);
    return https::Request{"GET", target, {}, {}};
}

InstrumentCodes instrument_codes_in(const std::string& body) {
    nlohmann::json reply;
    try {
        reply = parse_inbound_json(body);
    } catch (const std::exception&) {
        throw std::runtime_error("the instruments reply is not JSON");
    }
    if (!reply.is_object()) throw std::runtime_error("the instruments reply has no data");
    const auto code = reply.find("code");
    if (code != reply.end() && code->is_string() && *code != "0") {
        const auto msg = reply.find("msg");
        throw OkxError(code->get<std::string>(),
                       msg != reply.end() && msg->is_string() ? msg->get<std::string>() : "");
    }
    const auto data = reply.find("data");
    if (data == reply.end() || !data->is_array()) {
        throw std::runtime_error("the instruments reply has no data");
    }
    InstrumentCodes listed;
    for (const auto& item : *data) {
        const auto id = item.is_object() ? item.find("instId") : item.end();
        if (id == item.end() || !id->is_string()) continue;
        const std::string inst_id = id->get<std::string>();
        const auto value = item.find("instIdCode");
        const std::string text = value != item.end() && value->is_string() ? value->get<std::string>() : "";
        if (value != item.end() && value->is_number_unsigned()) {
            listed.codes[inst_id] = value->get<std::uint64_t>();
        } else if (all_digits(text) && text.size() <= 20) {
            try {
                listed.codes[inst_id] = std::stoull(text);
            } catch (const std::out_of_range&) {  // past 18446744073709551615
                listed.unusable.insert(inst_id);
            }
        } else {
            listed.unusable.insert(inst_id);
        }
    }
    return listed;
}

std::string rest_timestamp(std::chrono::system_clock::time_point now) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
    const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>(ms.count() % 1000));
    return std::string(text, length) + millis;
}

https::Request signed_get(const std::string& target, const Credentials& credentials, bool demo,
                          const std::string& timestamp) {
    const CryptoExtensions crypto;
    https::Request request{"GET", target, {}, {}};
    request.headers = {{"OK-ACCESS-KEY", credentials.api_key},
                       {"OK-ACCESS-SIGN", crypto.encode64(crypto.CalcHmacSHA256(
                                              credentials.api_secret, timestamp + "GET" + target))},
                       {"OK-ACCESS-TIMESTAMP", timestamp},
                       {"OK-ACCESS-PASSPHRASE", credentials.api_pass}};
    if (demo) request.headers.emplace_back("x-simulated-trading", "1");
    return request;
}

std::string order_query_target(const std::string& inst_id, const std::string& ord_id,
                               const std::string& cl_ord_id) {
    std::string target = "/api/v5/trade/order?instId=" + url_encode(inst_id);
    if (!ord_id.empty()) target += "&ordId=" + url_encode(ord_id);
    if (!cl_ord_id.empty()) target += "&clOrdId=" + url_encode(cl_ord_id);
    return target;
}

}  // namespace corvane::okx
