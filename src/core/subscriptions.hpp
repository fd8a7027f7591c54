#pragma once
// Subscriptions: the channels a connector records, in the order they were made (duplicates
// kept), with the requests that keep an open connection in step with them. Its own lock makes
// each change and its request one step, so a replay on the run thread and a subscribe on a
// Python thread never interleave: a channel is in the replay, or sent on its own after it (or
// both, when it was subscribed between an open and its replay). Lock order: see
// websocket_connector.hpp.

#include <algorithm>
#include <mutex>
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

    // Run thread: `send` gets the one request that restores every record (`build` makes it
    // from all of them); nothing is sent when nothing is recorded.
    template <typename Build, typename Send>
    void replay(Build build, Send send) const {
        std::lock_guard<std::mutex> lock(mtx);
        if (!records.empty()) send(build(records));
    }

private:
    mutable std::mutex mtx;
    std::vector<Record> records;  // guarded by mtx
};

}  // namespace corvane
