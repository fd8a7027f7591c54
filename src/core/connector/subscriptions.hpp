#pragma once
// Subscriptions: the channels a connector records, in the order they were made (duplicates
// kept), with the requests that keep an open connection in step with them. Its own lock makes
// each change and its request one step, so a replay on the run thread and a subscribe on a
// Python thread never interleave: a channel is in the replay, or sent on its own after it (or
// both, when it was subscribed between an open and its replay). Lock order: see
// websocket_connector.hpp.

#include <algorithm>
#include <cstddef>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace corvane {

template <typename Record>
class Subscriptions {
public:
    // `send_now` sends the subscribe request if a connection is open; `entry` is recorded once
    // that returned. Returns every record, in order, for the caller to print.
    template <typename Send>
    std::vector<Record> add(Record entry, Send send_now) {
        std::lock_guard<std::mutex> lock(mtx);
        send_now();
        records.push_back(std::move(entry));
        return records;
    }

    // As add(), but refused with std::invalid_argument(`refusal`), nothing sent or recorded,
    // when `entry` would be a record distinct from more than `max_distinct` others; `same`
    // says which records are one (two spellings of one stream count once).
    template <typename Send, typename Same = std::equal_to<Record>>
    void add_limited(Record entry, std::size_t max_distinct, const std::string& refusal,
                     Send send_now, Same same = Same()) {
        std::lock_guard<std::mutex> lock(mtx);
        const auto is_entry = [&](const Record& r) { return same(r, entry); };
        if (std::none_of(records.begin(), records.end(), is_entry) &&
            distinct(same) >= max_distinct) {
            throw std::invalid_argument(refusal);
        }
        send_now();
        records.push_back(std::move(entry));
    }

    // Removes every record equal to `entry` (or the first only), then `send_now` sends the
    // unsubscribe request if a connection is open, whether anything matched or not.
    template <typename Send>
    void remove(const Record& entry, bool every_equal, Send send_now) {
        std::lock_guard<std::mutex> lock(mtx);
        if (every_equal) {
            records.erase(std::remove(records.begin(), records.end(), entry), records.end());
        } else if (const auto first = std::find(records.begin(), records.end(), entry);
                   first != records.end()) {
            records.erase(first);
        }
        send_now();
    }

    // Run thread: `restore` gets every record, in order, and sends what restores them on a
    // connection that just opened (or logged in).
    template <typename Restore>
    void replay(Restore restore) const {
        std::lock_guard<std::mutex> lock(mtx);
        restore(records);
    }

private:
    template <typename Same>
    std::size_t distinct(Same same) const {  // caller holds mtx
        std::size_t count = 0;
        for (auto it = records.begin(); it != records.end(); ++it) {
            const auto is_it = [&](const Record& r) { return same(r, *it); };
            if (std::find_if(records.begin(), it, is_it) == it) ++count;
        }
        return count;
    }

    mutable std::mutex mtx;
    std::vector<Record> records;  // guarded by mtx
};

}  // namespace corvane
