#include "core/clock/clock_offset.hpp"

#include <nlohmann/json.hpp>

#include <stdexcept>

#include "core/inbound_json.hpp"

namespace corvane {

std::int64_t ClockOffset::now_ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now().time_since_epoch())
        .count();
}

std::optional<std::int64_t> ClockOffset::offset() const {
    if (!known.load()) return std::nullopt;
    return offset_ms.load();
}

void ClockOffset::measured(std::int64_t server_ms, Clock::time_point sent,
                           Clock::time_point received) {
    using std::chrono::milliseconds;
    const auto midpoint = sent + (received - sent) / 2;
    const auto local_ms =
        std::chrono::duration_cast<milliseconds>(midpoint.time_since_epoch()).count();
    offset_ms.store(server_ms - local_ms);
    known.store(true);
}

std::int64_t server_time_in(const std::string& body) {
    nlohmann::json reply;
    try {
        reply = parse_inbound_json(body);
    } catch (const std::exception&) {
        throw std::runtime_error("the time reply is not JSON");
    }
    if (reply.is_object() && reply.contains("serverTime") && reply["serverTime"].is_number_integer()) {
        return reply["serverTime"].get<std::int64_t>();
    }
    const auto data = reply.is_object() ? reply.find("data") : reply.end();
    if (data != reply.end() && data->is_array() && !data->empty() && (*data)[0].is_object()) {
        const auto ts = (*data)[0].find("ts");
        if (ts != (*data)[0].end() && ts->is_string()) {
            const std::string text = ts->get<std::string>();
            if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos &&
                text.size() < 19) {
                return std::stoll(text);
            }
        }
    }
    throw std::runtime_error("the time reply gives no time");
}

}  // namespace corvane
