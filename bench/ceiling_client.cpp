// Transport ceiling: TCP + TLS + WebSocket framing and nothing else. It upgrades the connection
// by hand, then reads the TLS stream in 256 KiB slices, walks the frames in place and discards
// them, checking only their sequence numbers: no message objects, no queue, no Python.
//
//   ceiling_client HOST PORT SIZE COUNT   prints one JSON line of results

#include <sys/resource.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "payload.hpp"

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Tally {
    std::uint64_t received = 0, lost = 0, out_of_order = 0, bytes = 0, expected = 1;
    std::chrono::steady_clock::time_point first, last;
    double cpu_first = 0;

    void take(const char* payload, std::uint64_t size,
              const corvane::bench::PayloadTemplate& layout) {
        const std::uint64_t seq =
            corvane::bench::read_field(payload + layout.seq_at, corvane::bench::kSeqWidth);
        if (seq > expected) lost += seq - expected;
        if (seq < expected) ++out_of_order;
        expected = std::max(expected, seq + 1);
        last = std::chrono::steady_clock::now();
        if (received++ == 0) {
            first = last;
            cpu_first = cpu_seconds();
        }
        bytes += size;
    }
};

// Length of the frame header at `p` (with `n` bytes available), and its payload size;
// 0 when the header is not complete yet.
std::size_t header(const unsigned char* p, std::size_t n, std::uint64_t& size) {
    if (n < 2) return 0;
    size = p[1] & 0x7f;
    if (size < 126) return 2;
    const std::size_t extra = size == 126 ? 2 : 8;
    if (n < 2 + extra) return 0;
    size = 0;
    for (std::size_t i = 0; i < extra; ++i)
        size = (size << 8) | p[2 + i];
    return 2 + extra;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: ceiling_client HOST PORT SIZE COUNT" << std::endl;
        return 2;
    }
    const std::string host = argv[1], port = argv[2];
    const std::size_t size = std::stoul(argv[3]);
    const std::uint64_t count = std::stoull(argv[4]);
    const corvane::bench::PayloadTemplate layout(size);

    net::io_context ioc;
    net::ssl::context ctx(net::ssl::context::tls_client);
    ctx.set_default_verify_paths();
    ctx.set_verify_mode(net::ssl::verify_peer);
    net::ssl::stream<tcp::socket> tls(ioc, ctx);
    SSL_set_tlsext_host_name(tls.native_handle(), host.c_str());
    net::connect(tls.lowest_layer(), tcp::resolver(ioc).resolve(host, port));
    tls.handshake(net::ssl::stream_base::client);
    const std::string request = "GET /?size=" + std::to_string(size) +
                                "&count=" + std::to_string(count) + " HTTP/1.1\r\nHost: " + host +
                                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Sec-WebSocket-Version: 13\r\n\r\n";
    net::write(tls, net::buffer(request));
    net::streambuf head;
    const std::size_t head_size = net::read_until(tls, head, "\r\n\r\n");

    std::vector<unsigned char> buffer(256 * 1024 + 65536);
    std::size_t have = head.size() - head_size;  // frame bytes read along with the response
    net::buffer_copy(net::buffer(buffer), head.data() + head_size);
    // A payload that spans reads: only its start (which holds the sequence number) is kept.
    const std::size_t keep = layout.seq_at + corvane::bench::kSeqWidth;
    std::string start;
    std::uint64_t skip = 0, spanning = 0;
    Tally tally;
    boost::system::error_code ec;
    while (tally.received < count && !ec) {
        std::size_t at = 0;
        while (at < have && tally.received < count) {
            if (skip > 0) {
                const std::size_t take = std::min<std::uint64_t>(skip, have - at);
                if (start.size() < keep) {
                    start.append(reinterpret_cast<const char*>(&buffer[at]),
                                 std::min(take, keep - start.size()));
                }
                at += take;
                skip -= take;
                if (skip == 0) tally.take(start.data(), spanning, layout);
                continue;
            }
            std::uint64_t payload = 0;
            const std::size_t h = header(&buffer[at], have - at, payload);
            if (h == 0) break;
            if ((buffer[at] & 0x0f) == 0x8) break;  // close
            if (have - at - h >= payload) {
                tally.take(reinterpret_cast<const char*>(&buffer[at + h]), payload, layout);
                at += h + payload;
            } else {
                spanning = payload;
                start.assign(reinterpret_cast<const char*>(&buffer[at + h]),
                             std::min<std::size_t>(have - at - h, keep));
                skip = payload - (have - at - h);
                at = have;
            }
        }
        // Keep an incomplete header, then read more after it.
        std::memmove(buffer.data(), buffer.data() + at, have - at);
        have -= at;
        if (tally.received < count) {
            have += tls.read_some(net::buffer(buffer.data() + have, buffer.size() - have), ec);
        }
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::cout << R"({"messages":)" << tally.received << R"(,"seconds":)"
              << std::chrono::duration<double>(tally.last - tally.first).count() << R"(,"cpu":)"
              << cpu_seconds() - tally.cpu_first << R"(,"maxrss_kb":)" << usage.ru_maxrss
              << R"(,"bytes":)" << tally.bytes << R"(,"lost":)"
              << tally.lost + (count - tally.received) << R"(,"out_of_order":)"
              << tally.out_of_order << "}" << std::endl;
    tls.lowest_layer().close();
    return 0;
}
