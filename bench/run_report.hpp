#pragma once
// What a C++ benchmark client measures of itself and the one JSON line it reports (the shape
// bench/run.py reads from every client).

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iostream>

#include "payload.hpp"

namespace corvane::bench {

inline double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct RunReport {
    std::uint64_t messages = 0, bytes = 0, lost = 0, out_of_order = 0;
    double seconds = 0, cpu = 0;
};

inline void print_report(const RunReport& r) {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::cout << R"({"messages":)" << r.messages << R"(,"seconds":)" << r.seconds << R"(,"cpu":)"
              << r.cpu << R"(,"maxrss_kb":)" << usage.ru_maxrss << R"(,"bytes":)" << r.bytes
              << R"(,"lost":)" << r.lost << R"(,"out_of_order":)" << r.out_of_order << "}"
              << std::endl;
}

// Every sequence number checked; timed and costed from the first message to the last.
struct Tally {
    std::uint64_t received = 0, lost = 0, out_of_order = 0, bytes = 0, expected = 1;
    std::chrono::steady_clock::time_point first, last;
    double cpu_first = 0;

    void take(const char* payload, std::uint64_t size, const PayloadTemplate& layout) {
        const std::uint64_t seq = read_field(payload + layout.seq_at, kSeqWidth);
        if (seq > expected) lost += seq - expected;
        if (seq < expected) ++out_of_order;
        expected = std::max(expected, seq + 1);
        last = std::chrono::steady_clock::now();
        if (received++ == 0) {
            first = last;
            cpu_first = cpu_seconds();
        }
        bytes += size;
    }

    // The report of a run that expected `count` messages.
    void report(std::uint64_t count) const {
        print_report({received, bytes, lost + (count - received), out_of_order,
                      std::chrono::duration<double>(last - first).count(),
                      cpu_seconds() - cpu_first});
    }
};

}  // namespace corvane::bench
