// Transport ceiling: TCP + TLS + WebSocket framing and nothing else. It upgrades the connection
// by hand, then reads the socket in 256 KiB slices, decrypts them in memory, walks the frames in
// place and discards them, checking only their sequence numbers: no message objects, no queue, no
// Python.
//
//   ceiling_client HOST PORT SIZE COUNT   prints one JSON line of results

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>

#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "payload.hpp"
#include "run_report.hpp"
#include "tls_ring.hpp"
#include "ws_frame.hpp"

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

using corvane::bench::Tally;

// TLS over the socket through a ring (see tls_ring.hpp): a read is not limited to one 16 KiB
// record, as it would be through a TLS stream.
class Tls {
public:
    Tls(SSL_CTX* ctx, int fd, const std::string& host) : ssl(SSL_new(ctx)), ring(ssl, fd) {
        SSL_set_tlsext_host_name(ssl, host.c_str());
        SSL_set1_host(ssl, host.c_str());
        SSL_set_connect_state(ssl);
        while (SSL_do_handshake(ssl) != 1) {
            if (SSL_get_error(ssl, 0) != SSL_ERROR_WANT_READ) fail("TLS handshake failed");
            if (!ring.flush()) fail("send failed");
            if (!ring.fill()) fail("closed during the handshake");
        }
        if (!ring.flush()) fail("send failed");
    }
    ~Tls() { SSL_free(ssl); }
    Tls(const Tls&) = delete;
    Tls& operator=(const Tls&) = delete;

    void write(const std::string& text) {
        if (SSL_write(ssl, text.data(), static_cast<int>(text.size())) <= 0 || !ring.flush()) {
            fail("write failed");
        }
    }

    // Decrypts what is buffered into `out` (at most `room` bytes), reading the socket when
    // nothing is; 0 when the peer has gone.
    std::size_t read(unsigned char* out, std::size_t room) {
        for (;;) {
            const int n = SSL_read(ssl, out, static_cast<int>(room));
            if (n > 0) return static_cast<std::size_t>(n);
            if (SSL_get_error(ssl, n) != SSL_ERROR_WANT_READ || !ring.fill()) return 0;
        }
    }

private:
    [[noreturn]] static void fail(const char* what) { throw std::runtime_error(what); }

    SSL* ssl;
    corvane::bench::TlsRing ring;  // after ssl: built on it, gone before SSL_free
};

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
    tcp::socket socket(ioc);
    net::connect(socket, tcp::resolver(ioc).resolve(host, port));
    Tls tls(ctx.native_handle(), socket.native_handle(), host);
    tls.write("GET /?size=" + std::to_string(size) + "&count=" + std::to_string(count) +
              " HTTP/1.1\r\nHost: " + host +
              "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
              "Sec-WebSocket-Version: 13\r\n\r\n");

    std::vector<unsigned char> buffer(256 * 1024 + 65536);
    std::size_t have = 0;
    for (;;) {  // the response head; what follows it is frames
        const std::size_t n = tls.read(buffer.data() + have, buffer.size() - have);
        if (n == 0) throw std::runtime_error("no upgrade");
        have += n;
        const std::string seen(reinterpret_cast<const char*>(buffer.data()), have);
        const auto end = seen.find("\r\n\r\n");
        if (end == std::string::npos) continue;
        std::memmove(buffer.data(), buffer.data() + end + 4, have - end - 4);
        have -= end + 4;
        break;
    }
    // A payload that spans reads: only its start (which holds the sequence number) is kept.
    const std::size_t keep = layout.seq_at + corvane::bench::kSeqWidth;
    std::string start;
    std::uint64_t skip = 0, spanning = 0;
    Tally tally;
    bool open = true;
    while (tally.received < count && open) {
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
            const std::size_t h =
                corvane::bench::read_frame_header(&buffer[at], have - at, payload);
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
            const std::size_t n = tls.read(buffer.data() + have, buffer.size() - have);
            open = n > 0;
            have += n;
        }
    }
    tally.report(count);
    socket.close();
    return 0;
}
