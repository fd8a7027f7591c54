#include "core/inbound/payload_buffers.hpp"

#include <utility>

namespace corvane {

void PayloadBuffers::give_back(std::string&& buffer) {
    if (!worth_keeping(buffer.capacity())) return;
    buffer.clear();
    returned_bytes += buffer.capacity();
    returned.push_back(std::move(buffer));
}

void PayloadBuffers::hand_over() {
    // O(1) under mtx: while the run thread has not taken the last batch, this one waits.
    if (!shared.empty()) return;
    shared.swap(returned);
    returned_bytes = 0;
}

std::vector<std::string> PayloadBuffers::take_returned() {
    returned_bytes = 0;
    return std::exchange(returned, {});
}

bool PayloadBuffers::restock() {
    if (!local.empty() || shared.empty()) return false;
    local.swap(shared);
    return true;
}

std::string PayloadBuffers::take(std::size_t size) {
    std::string buffer;
    if (!local.empty()) {
        buffer = std::move(local.back());
        local.pop_back();
    }
    buffer.reserve(size);
    return buffer;
}

void PayloadBuffers::trim_local() {
    std::size_t bytes = 0;
    std::size_t kept = 0;
    while (kept < local.size() && bytes + local[kept].capacity() <= kKeptBytes)
        bytes += local[kept++].capacity();
    if (kept == local.size()) return;
    local.resize(kept);
    local.shrink_to_fit();
}

PayloadBuffers*& PayloadBuffers::current() {
    thread_local PayloadBuffers* buffers = nullptr;
    return buffers;
}

}  // namespace corvane
