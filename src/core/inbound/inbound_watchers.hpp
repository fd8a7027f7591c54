#pragma once
// InboundWatchers: the descriptors (eventfds) of readers that wait on an event loop for an
// inbound queue's next message or its end. Each is written once and then forgotten: its reader
// takes what it can and watches again. Not synchronised: the queue's producer lock guards it,
// so that a descriptor unwatched (then closed, its number reused) is never written.

#include <vector>

namespace corvane {

class InboundWatchers {
public:
    bool empty() const { return fds.empty(); }
    void add(int fd) { fds.push_back(fd); }
    void remove(int fd);
    // Writes each descriptor once and forgets them all.
    void signal();

private:
    std::vector<int> fds;
};

}  // namespace corvane
