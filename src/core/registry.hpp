#pragma once
// Registry: the subscriptions a connector records, in the order they were made, duplicates
// kept, replayed in one request whenever a connection is ready for them. The connector's mtx
// guards it.

#include <algorithm>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

namespace corvane {

template <typename Record>
class Registry {
public:
    void record(Record entry) { records.push_back(std::move(entry)); }
    // Removes every record equal to `entry`; the others keep their order.
    void forget_all(const Record& entry) {
        records.erase(std::remove(records.begin(), records.end(), entry), records.end());
    }
    // Removes the first record equal to `entry` only.
    void forget_first(const Record& entry) {
        const auto first = std::find(records.begin(), records.end(), entry);
        if (first != records.end()) records.erase(first);
    }
    const std::vector<Record>& all() const { return records; }
    // The one request that restores every record (`build` makes it from all of them), or none
    // when nothing is recorded.
    template <typename Build>
    std::optional<nlohmann::json> replay(Build build) const {
        if (records.empty()) return std::nullopt;
        return build(records);
    }

private:
    std::vector<Record> records;
};

}  // namespace corvane
