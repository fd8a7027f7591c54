#include "core/output.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace corvane {
namespace {

constexpr std::size_t kMaxQueuedLines = 10000;

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

struct Channel {
    explicit Channel(int fd) : fd(fd) {}
    int fd;
    std::deque<std::string> queued;  // lines, each with its newline
    std::size_t dropped = 0;
    bool writing = false;  // the writer thread is writing this channel's oldest line
    bool idle() const { return queued.empty() && dropped == 0 && !writing; }
};

class Writer {
public:
    ~Writer() { flush(); }

    void print(Stream stream, std::string_view line) {
        std::string text(line);
        text += '\n';
        std::thread finished;
        {
            std::lock_guard<std::mutex> lock(mtx);
            Channel& channel = channels[stream == Stream::out ? 0 : 1];
            if (channel.idle()) {  // nothing is ahead of it: straight out, if the stream takes it
                std::string_view rest(text);
                write_available(channel.fd, rest);
                if (rest.empty()) return;
                text.erase(0, text.size() - rest.size());
                channel.queued.push_back(std::move(text));
            } else if (channel.dropped == 0 && channel.queued.size() < kMaxQueuedLines) {
                channel.queued.push_back(std::move(text));
            } else {
                ++channel.dropped;
            }
            finished = start_writer();
        }
        if (finished.joinable()) finished.join();
    }

    void flush() {
        std::unique_lock<std::mutex> lock(mtx);
        idle_cv.wait(lock, [this] { return !running; });
        std::thread finished = std::move(thread);
        lock.unlock();
        if (finished.joinable()) finished.join();
    }

private:
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
            std::string text;
            if (!channel->queued.empty()) {
                text = std::move(channel->queued.front());
                channel->queued.pop_front();
            } else {
                text = std::to_string(std::exchange(channel->dropped, 0)) +
                       " output lines dropped while the stream did not take them\n";
            }
            channel->writing = true;
            lock.unlock();
            write_all(channel->fd, text);
            lock.lock();
            channel->writing = false;
        }
        running = false;
        idle_cv.notify_all();
    }

    std::mutex mtx;
    std::condition_variable idle_cv;
    Channel channels[2] = {Channel(STDOUT_FILENO), Channel(STDERR_FILENO)};
    std::thread thread;    // guarded by mtx
    bool running = false;  // guarded by mtx: `thread` is draining
};

Writer& writer() {
    static Writer instance;
    return instance;
}

}  // namespace

void print_line(Stream stream, std::string_view line) {
    writer().print(stream, line);
}

void flush_output() {
    writer().flush();
}

}  // namespace corvane
