#include "core/inbound/inbound_watchers.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

namespace corvane {

void InboundWatchers::remove(int fd) {
    fds.erase(std::remove(fds.begin(), fds.end(), fd), fds.end());
}

void InboundWatchers::signal() {
    for (const int fd : fds) {
        const eventfd_t one = 1;
        // A failure can only be a full counter (the watcher is readable either way) or a closed
        // descriptor, which remove() rules out.
        [[maybe_unused]] const auto written = write(fd, &one, sizeof one);
    }
    fds.clear();
}

}  // namespace corvane
