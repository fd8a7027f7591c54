#pragma once
// What a C++ benchmark client measures of itself and the one JSON line it reports (the shape
// bench/run.py reads from every client).

#include <sys/resource.h>

#include <cstdint>
#include <iostream>

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

}  // namespace corvane::bench
