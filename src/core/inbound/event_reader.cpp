#include "core/inbound/event_reader.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace corvane {

EventReader::EventReader(InboundQueue& queue)
    : queue(&queue), descriptor(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (descriptor < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

EventReader::~EventReader() {
    detach();
    close(descriptor);
}

std::optional<bool> EventReader::try_arm() {
    return queue != nullptr ? queue->try_watch(descriptor) : std::optional<bool>(false);
}

bool EventReader::arm() {
    return queue != nullptr && queue->watch(descriptor);
}

bool EventReader::try_disarm() {
    return queue == nullptr || queue->try_unwatch(descriptor);
}

void EventReader::disarm() {
    if (queue != nullptr) queue->unwatch(descriptor);
}

void EventReader::detach() {
    disarm();
    queue = nullptr;
}

void EventReader::clear() {
    eventfd_t count = 0;
    eventfd_read(descriptor, &count);
}

void EventReader::poke() {
    eventfd_write(descriptor, 1);
}

}  // namespace corvane
