#pragma once
// InboundMessage, and MessageBatch: one side of the inbound queue, messages in arrival order.
// A vector read from the front by an index, so that a drained batch goes back to the producer
// with its storage: no allocation per message, and none of the producer's memory freed on a
// reader's thread, where it would contend with the producer for the allocator's lock.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace corvane {

// One received data message, byte for byte, with the kind of frame it came in; or one event of a
// connection (opened, closed, failed, ended by an error, replaced by another) or of the stream
// (a break in an exchange's sequence: payload "channel\ninstrument\nexpected\ngot"; a tracked
// order book synced or out of sync: "channel\ninstrument\nreason"), in its place among the
// messages.
struct InboundMessage {
    enum class Kind : std::uint8_t {
        message, open, close, fail, error, switched, gap, book_synced, book_resync
    };
    std::string payload;           // the message; for an event, its reason
    std::int64_t recv_ns = 0;      // wall clock, nanoseconds: when the frame was complete
    std::uint32_t connection = 0;  // the connector's connection attempt it belongs to, from 1
    std::int32_t code = -1;        // a close event's code, -1 for none
    std::uint32_t previous = 0;    // a switch event's connection replaced, 0 for none
    Kind kind = Kind::message;
    bool binary = false;
    bool ascii = false;    // a text payload known to be 7-bit ASCII (cheaper to turn into a str)
    bool by_peer = false;  // a close the peer began
};

class MessageBatch {
public:
    bool empty() const { return head == items.size(); }
    std::size_t size() const { return items.size() - head; }
    void push_back(InboundMessage&& message) { items.push_back(std::move(message)); }
    // The oldest message; the batch must not be empty. A reader that fell behind reads a
    // backlog gone cold in cache, with payloads wherever recycled buffers lay: fetching one a
    // few messages ahead overlaps its misses with the work on this one.
    InboundMessage pop_front() {
        if (head + kPrefetchAhead < items.size()) prefetch(items[head + kPrefetchAhead].payload);
        return std::move(items[head++]);
    }
    // Exchanges contents with `drained`, an empty batch, which keeps this one's storage.
    void hand_to(MessageBatch& drained) {
        drained.items.clear();
        drained.head = 0;
        items.swap(drained.items);
        std::swap(head, drained.head);
    }

private:
    static constexpr std::size_t kPrefetchAhead = 4;
    static constexpr std::size_t kPrefetchBytes = 512;  // beyond that, the copy streams anyway
    static constexpr std::size_t kCacheLine = 64;
    static void prefetch(const std::string& payload) {
        const char* data = payload.data();
        const std::size_t bytes = std::min<std::size_t>(payload.size(), kPrefetchBytes);
        for (std::size_t at = 0; at < bytes; at += kCacheLine)
            __builtin_prefetch(data + at);
    }
    std::vector<InboundMessage> items;
    std::size_t head = 0;
};

}  // namespace corvane
