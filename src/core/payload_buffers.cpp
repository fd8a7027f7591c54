#include "core/payload_buffers.hpp"

#include <utility>

namespace corvane {

void PayloadBuffers::give_back(std::string&& buffer) {
    if (!worth_keeping(buffer.capacity()) || returned.size() >= kMaxKept) return;
    buffer.clear();
    returned.push_back(std::move(buffer));
}

void PayloadBuffers::hand_over() {
    if (shared.empty()) {
        shared.swap(returned);  // the common case: no allocation, no copying
        return;
    }
    while (!returned.empty() && shared.size() < kMaxKept) {
        shared.push_back(std::move(returned.back()));
        returned.pop_back();
    }
    returned.clear();
}

void PayloadBuffers::restock() {
    if (local.empty()) local.swap(shared);
}

std::string PayloadBuffers::take(std::size_t size) {
    std::string buffer;
    if (size >= kMinSize && !local.empty()) {
        buffer = std::move(local.back());
        local.pop_back();
    }
    buffer.reserve(size);
    return buffer;
}

PayloadBuffers*& PayloadBuffers::current() {
    thread_local PayloadBuffers* buffers = nullptr;
    return buffers;
}

}  // namespace corvane
