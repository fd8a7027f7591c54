// The module's printed lines: whole and in order on the standard streams, from any number of
// threads; a stream that does not take them (full or closed) never holds up the printer, and no
// line is lost without being counted; a sink is never called on a connection's thread.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <future>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "core/text/output.hpp"

namespace corvane {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Standard output or error (`target`) goes into a pipe for the object's life. Assertions are
// made after restore(): the test framework prints its failures on standard output.
class Redirect {
public:
    explicit Redirect(int target) : target(target) {
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        std::fflush(nullptr);
        saved = dup(target);
        dup2(fds[1], target);
    }
    ~Redirect() {
        restore();
        if (fds[0] >= 0) close(fds[0]);
    }
    void restore() {
        if (saved < 0) return;
        dup2(saved, target);
        close(saved);
        close(fds[1]);
        saved = -1;
    }
    void close_reader() {
        close(fds[0]);
        fds[0] = -1;
    }
    // Reads until `done(text)` holds, each read waiting at most `limit`; what was read.
    std::string read_until(const std::function<bool(const std::string&)>& done,
                           milliseconds limit = milliseconds(10000)) {
        std::string text;
        char chunk[65536];
        while (!done(text)) {
            pollfd readable{fds[0], POLLIN, 0};
            if (poll(&readable, 1, static_cast<int>(limit.count())) <= 0) break;
            const ssize_t got = read(fds[0], chunk, sizeof chunk);
            if (got <= 0) break;
            text.append(chunk, static_cast<std::size_t>(got));
        }
        return text;
    }
    std::string read_lines(std::size_t count) {
        return read_until([count](const std::string& text) {
            return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= count;
        });
    }

private:
    int target;
    int fds[2] = {-1, -1};
    int saved = -1;
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(Output, EachStreamGetsItsLinesWithTheirNewline) {
    std::string out, err;
    {
        Redirect to_out(STDOUT_FILENO);
        Redirect to_err(STDERR_FILENO);
        print_line(Stream::out, "first");
        print_line(Stream::err, "Error: second", Level::warning);
        print_line(Stream::out, "");
        print_line(Stream::out, "third");
        out = to_out.read_lines(3);
        err = to_err.read_lines(1);
        flush_output();
    }
    EXPECT_EQ(out, "first\n\nthird\n");
    EXPECT_EQ(err, "Error: second\n");
}

// Lines far longer than a pipe's atomic write still never mix with another thread's.
TEST(Output, LinesFromManyThreadsArriveWholeAndInEachThreadsOrder) {
    constexpr int kThreads = 6, kLines = 300;
    std::string out;
    {
        Redirect to_out(STDOUT_FILENO);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([t] {
                for (int n = 0; n < kLines; ++n) {
                    const std::size_t pad = (n * 7919 + t * 104729) % 9000;
                    print_line(Stream::out, std::to_string(t) + " " + std::to_string(n) + " " +
                                                std::string(pad, static_cast<char>('a' + t)));
                }
            });
        out = to_out.read_lines(kThreads * kLines);  // read meanwhile, so the pipe fills and empties
        for (auto& thread : threads) thread.join();
        flush_output();
    }
    const auto lines = lines_of(out);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
    std::map<int, int> next;
    for (const auto& line : lines) {
        std::istringstream in(line);
        int t = -1, n = -1;
        std::string pad;
        in >> t >> n;
        std::getline(in, pad);
        ASSERT_TRUE(t >= 0 && t < kThreads) << line.substr(0, 40);
        EXPECT_EQ(n, next[t]++) << "thread " << t;
        const std::size_t want = (n * 7919 + t * 104729) % 9000;
        EXPECT_EQ(pad, pad.empty() && want == 0 ? "" : " " + std::string(want, 'a' + t))
            << "thread " << t << " line " << n;
    }
}

// Nobody drains the stream: printing goes on at once, lines past the bound are counted, and once
// the stream is read every line printed is there or in the count, in order.
TEST(Output, AStreamNobodyReadsNeverHoldsUpThePrinter) {
    constexpr int kPrinted = 15000;
    const std::string pad(100, 'x');
    bool returned = false;
    std::string err;
    {
        Redirect to_err(STDERR_FILENO);
        auto printing = std::async(std::launch::async, [&pad] {
            for (int n = 0; n < kPrinted; ++n)
                print_line(Stream::err, std::to_string(n) + " " + pad);
        });
        returned = printing.wait_for(seconds(10)) == std::future_status::ready;
        err = to_err.read_until([](const std::string& text) {
            return text.find("dropped") != std::string::npos && text.back() == '\n';
        });
        printing.wait();
        flush_output();
    }
    EXPECT_TRUE(returned) << "print_line waited for a stream nobody reads";
    const auto lines = lines_of(err);
    ASSERT_FALSE(lines.empty());
    const std::string& last = lines.back();
    const std::string tail = " output lines dropped while the stream did not take them";
    ASSERT_GT(last.size(), tail.size()) << last;
    ASSERT_EQ(last.substr(last.size() - tail.size()), tail) << last;
    const int dropped = std::stoi(last);
    for (std::size_t n = 0; n + 1 < lines.size(); ++n)
        ASSERT_EQ(lines[n], std::to_string(n) + " " + pad) << n;
    EXPECT_EQ(static_cast<int>(lines.size()) - 1 + dropped, kPrinted);
    EXPECT_GE(static_cast<int>(lines.size()) - 1, 10000);  // the bound, at least, kept
}

// A closed stream takes everything (lost there, as with std::cout) and keeps nothing queued.
TEST(Output, AClosedStreamLosesItsLinesAndHoldsNothingBack) {
    const auto previous = std::signal(SIGPIPE, SIG_IGN);  // as in any Python process
    std::string after;
    bool returned = false;
    {
        Redirect to_err(STDERR_FILENO);
        to_err.close_reader();
        auto printing = std::async(std::launch::async, [] {
            for (int n = 0; n < 20000; ++n) print_line(Stream::err, "into the void");
        });
        returned = printing.wait_for(seconds(10)) == std::future_status::ready;
        printing.wait();
        flush_output();
    }
    {
        Redirect to_err(STDERR_FILENO);
        print_line(Stream::err, "seen");
        after = to_err.read_lines(1);
        flush_output();
    }
    std::signal(SIGPIPE, previous);
    EXPECT_TRUE(returned);
    EXPECT_EQ(after, "seen\n");  // nothing held back, no count of dropped lines
}

// The sink is called on the printing thread, but never on a connection's: those lines go by the
// writer thread, so a sink that waits (for Python) never holds up a connection.
TEST(Output, ASinkIsNeverCalledOnAConnectionsThread) {
    std::mutex mtx;
    std::condition_variable changed;
    bool release = false;
    std::vector<std::pair<std::string, std::thread::id>> seen;
    const std::thread::id main_thread = std::this_thread::get_id();
    set_sink(std::make_shared<const Sink>([&](Level, const std::string& line) {
        std::unique_lock<std::mutex> lock(mtx);
        seen.emplace_back(line, std::this_thread::get_id());
        changed.notify_all();
        if (line != "from python") changed.wait_for(lock, seconds(10), [&] { return release; });
    }));
    print_line(Stream::out, "from python");
    std::thread::id connection_thread;
    auto connection = std::async(std::launch::async, [&] {
        connection_thread = std::this_thread::get_id();
        ConnectionThreadScope scope;
        for (int n = 0; n < 3; ++n) print_line(Stream::err, "conn " + std::to_string(n));
    });
    const bool returned = connection.wait_for(seconds(10)) == std::future_status::ready;
    {
        std::lock_guard<std::mutex> lock(mtx);
        release = true;
        changed.notify_all();
    }
    connection.wait();
    flush_output();
    set_sink(nullptr);
    flush_output();
    EXPECT_TRUE(returned) << "a connection's print waited for the sink";
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], std::make_pair(std::string("from python"), main_thread));
    for (int n = 0; n < 3; ++n) {
        EXPECT_EQ(seen[n + 1].first, "conn " + std::to_string(n));
        EXPECT_NE(seen[n + 1].second, connection_thread);
        EXPECT_NE(seen[n + 1].second, main_thread);
    }
}

TEST(Output, AnEmptySinkSilencesAndNoSinkRestoresTheStreams) {
    std::string out;
    {
        Redirect to_out(STDOUT_FILENO);
        set_sink(std::make_shared<const Sink>());
        print_line(Stream::out, "silenced");
        set_sink(nullptr);
        print_line(Stream::out, "heard");
        out = to_out.read_lines(1);
        flush_output();
    }
    EXPECT_EQ(out, "heard\n");
}

}  // namespace
}  // namespace corvane
