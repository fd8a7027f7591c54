#include "core/rest/clock/clock_offset.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <stdexcept>

#include "core/text/inbound_json.hpp"

namespace corvane {

std::int64_t ClockOffset::now_ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now().time_since_epoch())
        .count();
}

std::optional<std::int64_t> ClockOffset::offset() const {
    if (!known.load()) return std::nullopt;
    return offset_ms.load();
}

bool plausible_server_time(std::int64_t server_ms) {
    constexpr std::int64_t k2020 = 1'577'836'800'000;
    constexpr std::int64_t k2100 = 4'102'444'800'000;
    return server_ms >= k2020 && server_ms < k2100;
}

bool ClockOffset::measured(std::int64_t server_ms, Clock::time_point sent,
                           Clock::time_point received) {
    using std::chrono::milliseconds;
    if (!plausible_server_time(server_ms) || received < sent) return false;
    const auto midpoint = sent + (received - sent) / 2;
    const std::int64_t local_ms = midpoint.time_since_epoch() / milliseconds(1);
    Sample sample{0, (received - sent) / milliseconds(1), received};
    // Both within the clocks' ranges; checked all the same, as a signed overflow would put
    // every timestamp centuries off.
    if (__builtin_sub_overflow(server_ms, local_ms, &sample.offset_ms)) return false;
    std::lock_guard<std::mutex> lock(mtx);
    if (!replaces_kept(sample)) return true;
    kept = sample;
    offset_ms.store(sample.offset_ms);
    known.store(true);
    return true;
}

bool ClockOffset::replaces_kept(const Sample& sample) const {
    constexpr auto kSampleLife = std::chrono::minutes(30);
    if (!kept || sample.round_trip_ms <= kept->round_trip_ms) return true;
    if (sample.received - kept->received >= kSampleLife) return true;
    // Each sample puts the offset within half its round trip of its own: two whose ranges do
    // not meet cannot both be right, and the newer one tells the present.
    const std::int64_t apart = sample.offset_ms > kept->offset_ms
                                   ? sample.offset_ms - kept->offset_ms
                                   : kept->offset_ms - sample.offset_ms;
    return apart > (sample.round_trip_ms + kept->round_trip_ms) / 2 + 1;
}

void ClockOffset::distrust() {
    {
        std::lock_guard<std::mutex> lock(mtx);
        kept.reset();
    }
    claimed.store(false);
}

std::int64_t server_time_in(const std::string& body) {
    nlohmann::json reply;
    try {
        reply = parse_inbound_json(body);
    } catch (const std::exception&) {
        throw std::runtime_error("the time reply is not JSON");
    }
    if (reply.is_object() && reply.contains("serverTime") && reply["serverTime"].is_number_integer()) {
        const auto& time = reply["serverTime"];
        if (!time.is_number_unsigned() || time.get<std::uint64_t>() <= INT64_MAX) {
            return time.get<std::int64_t>();
        }
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
