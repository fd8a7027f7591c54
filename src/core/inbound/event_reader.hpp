#pragma once
// EventReader: waiting for the inbound queue without blocking, for a reader on an event loop. It
// owns an eventfd that the queue writes once, when a message arrives or the stream ends, after
// the reader armed it; the loop watches the descriptor and the reader takes from the queue when
// it is readable. The producer only writes the descriptor: it never waits for such a reader.
//
// Threads: one at a time (the reader's, under the GIL), any thread over its life. The try_
// calls never block on a lock, for a thread that holds the GIL; the others may, briefly.

#include <optional>

#include "core/inbound/inbound_queue.hpp"

namespace corvane {

class EventReader {
public:
    explicit EventReader(InboundQueue& queue);  // throws std::system_error
    ~EventReader();
    EventReader(const EventReader&) = delete;
    EventReader& operator=(const EventReader&) = delete;

    int fd() const { return descriptor; }
    // Registers for the next arrival: true once armed; false when a message can be taken now or
    // the stream has ended (take instead). nullopt from try_arm: a lock was busy.
    std::optional<bool> try_arm();
    bool arm();
    // Forgets the registration, if any; after this the queue never writes the descriptor.
    bool try_disarm();
    void disarm();
    // Disarms and lets go of the queue for good: the descriptor stays, for the loop.
    void detach();
    // Empties the descriptor's count / makes it readable.
    void clear();
    void poke();
    // The loop this reader waits on has run (see InboundQueue::loop_ran); nothing once detached.
    void loop_ran() {
        if (queue != nullptr) queue->loop_ran();
    }

private:
    InboundQueue* queue;  // null once detached
    int descriptor;
};

}  // namespace corvane
