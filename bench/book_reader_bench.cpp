// Book push readers, CPU per push: OKX's in-place reader against the DOM reading it replaced
// (tests/cpp/okx/okx_book_reference.cpp), on pushes of the sizes a books channel sends, and
// MEXC's protobuf depth reader on its frames. One thread, no I/O, CPU time; each figure is the
// best of several rounds, and the ratio between readers in the same run is what to compare
// (bench/book_reader_python.py gives Python's figures for the same shapes of push).
//
//   cmake --build build/bench --target book_reader_bench && build/bench/bench/book_reader_bench

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "mexc/mexc_book.hpp"
#include "okx/okx_book.hpp"
#include "okx/okx_book_reference.hpp"

namespace {

using corvane::book::BookPush;
using Reader = std::function<std::optional<BookPush>(std::string_view)>;

// Prices and sizes as OKX and MEXC write them around a BTC-USDT mid.
struct LevelText {
    std::string price;
    std::string size;
};

std::vector<LevelText> side(std::mt19937& rng, int count, bool asks) {
    std::vector<LevelText> out;
    long tenths = asks ? 931802 : 931801;
    for (int i = 0; i < count; ++i) {
        tenths += (asks ? 1 : -1) * static_cast<long>(1 + rng() % 4);
        std::string price = std::to_string(tenths / 10);
        if (tenths % 10 != 0) price += "." + std::to_string(tenths % 10);
        const unsigned size = rng() % 5000000;
        std::string size_text = std::to_string(size / 100000000) + "." +
                                std::to_string(100000000 + size % 100000000).substr(1);
        while (size_text.back() == '0')
            size_text.pop_back();
        out.push_back({price, size_text});
    }
    return out;
}

std::string okx_levels(const std::vector<LevelText>& levels) {
    std::string out = "[";
    for (std::size_t i = 0; i < levels.size(); ++i) {
        out += (i ? ",[\"" : "[\"") + levels[i].price + "\",\"" + levels[i].size + "\",\"0\",\"" +
               std::to_string(1 + i % 7) + "\"]";
    }
    return out + "]";
}

std::string okx_push(std::mt19937& rng, int bids, int asks, bool snapshot) {
    return std::string(R"({"arg":{"channel":"books","instId":"BTC-USDT"},"action":")") +
           (snapshot ? "snapshot" : "update") + R"(","data":[{"asks":)" +
           okx_levels(side(rng, asks, true)) + R"(,"bids":)" + okx_levels(side(rng, bids, false)) +
           R"(,"ts":"1700000000000","checksum":0,"prevSeqId":)" + (snapshot ? "-1" : "123456789") +
           R"(,"seqId":123456790}]})";
}

std::string varint(std::uint64_t value) {
    std::string out;
    do {
        const auto low = static_cast<char>(value & 0x7F);
        value >>= 7;
        out += static_cast<char>(low | (value != 0 ? 0x80 : 0));
    } while (value != 0);
    return out;
}
std::string bytes_field(std::uint32_t number, const std::string& value) {
    return varint(number << 3 | 2) + varint(value.size()) + value;
}

std::string mexc_levels(std::uint32_t number, const std::vector<LevelText>& levels) {
    std::string out;
    for (const LevelText& level : levels)
        out += bytes_field(number, bytes_field(1, level.price) + bytes_field(2, level.size));
    return out;
}

std::string mexc_aggre(std::mt19937& rng, int bids, int asks) {
    const std::string body = mexc_levels(1, side(rng, asks, true)) +
                             mexc_levels(2, side(rng, bids, false)) +
                             bytes_field(3, "spot@public.aggre.depth.v3.api.pb@100ms") +
                             bytes_field(4, "3407460120") + bytes_field(5, "3407460125");
    return bytes_field(1, "spot@public.aggre.depth.v3.api.pb@100ms@BTCUSDT") +
           bytes_field(3, "BTCUSDT") + varint(6 << 3) + varint(1736412000123) +
           bytes_field(313, body);
}

// The thread's CPU time, so that other work on the machine does not count.
struct CpuClock {
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<CpuClock>;
    static time_point now() {
        timespec at{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &at);
        return time_point(std::chrono::seconds(at.tv_sec) + std::chrono::nanoseconds(at.tv_nsec));
    }
};

// ns of CPU per push: the best of several rounds, each long enough to swamp the clock.
double ns_per_push(const Reader& reader, const std::vector<std::string>& pushes) {
    using Clock = CpuClock;
    std::size_t levels = 0;
    double best = 1e300;
    for (int round = 0; round < 7; ++round) {
        std::size_t count = 0;
        const Clock::time_point start = Clock::now();
        Clock::time_point now = start;
        while (now - start < std::chrono::milliseconds(150)) {
            for (const std::string& push : pushes) {
                const std::optional<BookPush> read = reader(push);
                if (!read) {
                    std::fprintf(stderr, "a bench push was refused\n");
                    std::exit(1);
                }
                levels += read->bids.size() + read->asks.size();
            }
            count += pushes.size();
            now = Clock::now();
        }
        best = std::min(best, std::chrono::duration<double, std::nano>(now - start).count() /
                                  static_cast<double>(count));
    }
    if (levels == 0) std::fprintf(stderr, " ");  // keeps the reading observable
    return best;
}

}  // namespace

int main() {
    std::mt19937 rng(2026);
    const Reader in_place = [](std::string_view text) {
        return corvane::okx::read_book_push(text);
    };
    const Reader dom = [](std::string_view text) {
        return corvane::okx::reference::read_book_push(text);
    };

    struct Case {
        const char* name;
        std::vector<std::string> pushes;
    };
    std::vector<Case> okx_cases;
    for (const int levels : {1, 10, 40}) {
        Case item{nullptr, {}};
        for (int i = 0; i < 64; ++i) {
            const int bids = levels == 1 ? i % 2 : levels / 2 + (i % 3) - 1;
            item.pushes.push_back(okx_push(rng, bids, levels - bids, false));
        }
        item.name = levels == 1    ? "books update, 1 level"
                    : levels == 10 ? "books update, ~10 levels"
                                   : "books update, ~40 levels";
        okx_cases.push_back(std::move(item));
    }
    Case mixed{"books update, 1-40 levels", {}};
    for (int i = 0; i < 64; ++i) {
        const int levels = 1 + static_cast<int>(rng() % 40);
        const int bids = static_cast<int>(rng() % (levels + 1));
        mixed.pushes.push_back(okx_push(rng, bids, levels - bids, false));
    }
    okx_cases.push_back(std::move(mixed));
    okx_cases.push_back({"books snapshot, 400 a side", {okx_push(rng, 400, 400, true)}});

    std::printf("%-30s %8s %12s %12s %8s\n", "OKX push", "bytes", "DOM ns", "in place ns",
                "ratio");
    for (const Case& item : okx_cases) {
        std::size_t bytes = 0;
        for (const std::string& push : item.pushes)
            bytes += push.size();
        const double old_ns = ns_per_push(dom, item.pushes);
        const double new_ns = ns_per_push(in_place, item.pushes);
        std::printf("%-30s %8zu %12.0f %12.0f %7.1fx\n", item.name, bytes / item.pushes.size(),
                    old_ns, new_ns, old_ns / new_ns);
    }

    const Reader mexc = [](std::string_view frame) {
        return corvane::mexc::read_depth_push(frame);
    };
    std::printf("\n%-30s %8s %12s\n", "MEXC aggregated depth", "bytes", "ns");
    for (const int levels : {1, 20, 40}) {
        std::vector<std::string> frames;
        for (int i = 0; i < 64; ++i)
            frames.push_back(mexc_aggre(rng, levels / 2, levels - levels / 2));
        std::printf("%-30s %8zu %12.0f\n", (std::to_string(levels) + " levels").c_str(),
                    frames[0].size(), ns_per_push(mexc, frames));
    }
    return 0;
}
