#include "core/text/output.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace corvane {
namespace {

constexpr std::size_t kMaxQueuedLines = 10000;

thread_local bool on_connection_thread = false;

// Writes what the stream takes without blocking: a chunk of at most PIPE_BUF bytes goes out in
// one piece into a pipe that polls writable. Leaves in `text` what it could not write; a stream
// that is closed or broken takes everything (it is lost there, as with std::cout).
void write_available(int fd, std::string_view& text) {
    while (!text.empty()) {
        pollfd ready{fd, POLLOUT, 0};
        if (poll(&ready, 1, 0) < 0 && errno == EINTR) continue;
        if ((ready.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) break;
        if ((ready.revents & POLLOUT) == 0) return;
        const ssize_t written =
            write(fd, text.data(), std::min<std::size_t>(text.size(), PIPE_BUF));
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno == EAGAIN) return;
        if (written < 0) break;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    text = {};
}

// The writer thread's blocking write.
void write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

struct Line {
    Level level;
    std::string text;  // to a stream: with its newline
};

// The lines for one destination: a standard stream (fd) or the sink (fd -1).
struct Channel {
    explicit Channel(int fd) : fd(fd) {}
    int fd;
    std::deque<Line> queued;
    std::size_t dropped = 0;
    bool writing = false;  // the writer thread is handing on this channel's oldest line
    bool idle() const { return queued.empty() && dropped == 0 && !writing; }
    // Queues `line` within the bound; beyond it, counts it.
    void queue(Line line) {
        if (dropped == 0 && queued.size() < kMaxQueuedLines) {
            queued.push_back(std::move(line));
        } else {
            ++dropped;
        }
    }
};

class Writer {
public:
    ~Writer() { flush(); }

    void print(Stream stream, std::string_view line, Level level) {
        std::thread finished;
        std::shared_ptr<const Sink> direct;
        {
            std::lock_guard<std::mutex> lock(mtx);
            if (sink && !*sink) return;  // silenced
            if (sink && !on_connection_thread) {
                direct = sink;
            } else if (sink) {
                channels[2].queue(Line{level, std::string(line)});
                finished = start_writer();
            } else {
                finished = to_stream(channels[stream == Stream::out ? 0 : 1], line, level);
            }
        }
        if (direct) (*direct)(level, std::string(line));  // never under mtx: it may wait for Python
        if (finished.joinable()) finished.join();
    }

    void set(std::shared_ptr<const Sink> next) {
        std::shared_ptr<const Sink> previous;
        std::lock_guard<std::mutex> lock(mtx);
        previous = std::exchange(sink, std::move(next));
        retired.push_back(std::move(previous));  // let go of outside mtx, by the flush
    }

    void flush() {
        std::unique_lock<std::mutex> lock(mtx);
        idle_cv.wait(lock, [this] { return !running; });
        std::thread finished = std::move(thread);
        std::vector<std::shared_ptr<const Sink>> gone = std::move(retired);
        lock.unlock();
        if (finished.joinable()) finished.join();
    }

private:
    // Caller holds mtx: straight out while nothing is ahead of it and the stream takes it.
    std::thread to_stream(Channel& channel, std::string_view line, Level level) {
        std::string text(line);
        text += '\n';
        if (channel.idle()) {
            std::string_view rest(text);
            write_available(channel.fd, rest);
            if (rest.empty()) return {};
            text.erase(0, text.size() - rest.size());
        }
        channel.queue(Line{level, std::move(text)});
        return start_writer();
    }

    // Caller holds mtx. Returns the previous writer, which has finished, to be joined unlocked.
    std::thread start_writer() {
        if (running) return {};
        std::thread previous = std::move(thread);
        try {
            thread = std::thread([this] { drain(); });
            running = true;
        } catch (const std::system_error&) {
            // No thread now: the lines stay queued, and the next line tries again.
        }
        return previous;
    }

    // The writer thread: oldest line first, channel by channel, until nothing is left.
    void drain() {
        std::unique_lock<std::mutex> lock(mtx);
        for (;;) {
            Channel* channel = nullptr;
            for (Channel& c : channels)
                if (!c.idle()) channel = &c;
            if (channel == nullptr) break;
            Line line{Level::info, {}};
            if (!channel->queued.empty()) {
                line = std::move(channel->queued.front());
                channel->queued.pop_front();
            } else {
                line.text = std::to_string(std::exchange(channel->dropped, 0)) +
                            " output lines dropped while the stream did not take them";
                line.level = Level::warning;
                if (channel->fd >= 0) line.text += '\n';
            }
            channel->writing = true;
            std::shared_ptr<const Sink> to = sink;
            lock.unlock();
            hand_on(*channel, line, to);
            lock.lock();
            channel->writing = false;
        }
        running = false;
        idle_cv.notify_all();
    }

    static void hand_on(const Channel& channel, const Line& line,
                        const std::shared_ptr<const Sink>& to) {
        if (channel.fd >= 0) {
            write_all(channel.fd, line.text);
        } else if (to && *to) {
            (*to)(line.level, line.text);
        }
    }

    std::mutex mtx;
    std::condition_variable idle_cv;
    Channel channels[3] = {Channel(STDOUT_FILENO), Channel(STDERR_FILENO), Channel(-1)};
    std::shared_ptr<const Sink> sink;                  // guarded by mtx
    std::vector<std::shared_ptr<const Sink>> retired;  // guarded by mtx
    std::thread thread;                                // guarded by mtx
    bool running = false;                              // guarded by mtx: `thread` is draining
};

Writer& writer() {
    static Writer instance;
    return instance;
}

}  // namespace

void print_line(Stream stream, std::string_view line) {
    writer().print(stream, line, stream == Stream::out ? Level::info : Level::error);
}

void print_line(Stream stream, std::string_view line, Level level) {
    writer().print(stream, line, level);
}

void set_sink(std::shared_ptr<const Sink> sink) {
    writer().set(std::move(sink));
}

ConnectionThreadScope::ConnectionThreadScope() {
    on_connection_thread = true;
}

ConnectionThreadScope::~ConnectionThreadScope() {
    on_connection_thread = false;
}

void flush_output() {
    writer().flush();
}

}  // namespace corvane
