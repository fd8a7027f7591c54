// The benchmark's push server: TLS WebSocket on loopback that writes OKX-shaped messages as
// fast as the client takes them (or at a fixed rate), serialising each payload once and
// writing frames in large batches straight to the TLS stream, so that it is never the limit.
//
//   push_server CERT KEY        prints the port, then serves one client at a time
//   client URL: wss://localhost:PORT/?size=176&count=1000000[&rate=10000]

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <chrono>
#include <iostream>
#include <map>
#include <string>
#include <thread>

#include "batch_writer.hpp"
#include "payload.hpp"
#include "ws_frame.hpp"

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using namespace corvane::bench;

namespace {

using Clock = std::chrono::system_clock;

std::uint64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

std::map<std::string, std::string> query_of(const std::string& target) {
    std::map<std::string, std::string> out;
    const auto q = target.find('?');
    if (q == std::string::npos) return out;
    std::string rest = target.substr(q + 1);
    while (!rest.empty()) {
        const auto amp = rest.find('&');
        const std::string pair = rest.substr(0, amp);
        const auto eq = pair.find('=');
        if (eq != std::string::npos) out[pair.substr(0, eq)] = pair.substr(eq + 1);
        if (amp == std::string::npos) break;
        rest = rest.substr(amp + 1);
    }
    return out;
}

// Frames laid out once; each message then only gets its sequence number and time stamped.
class FrameBatch {
public:
    FrameBatch(const PayloadTemplate& payload, std::size_t frames)
        : payload(payload),
          header(text_frame_header(payload.text.size())),
          frame(header.size() + payload.text.size()),
          bytes(frames * frame, '\0') {
        for (std::size_t i = 0; i < frames; ++i) {
            std::memcpy(&bytes[i * frame], header.data(), header.size());
            payload.stamp(&bytes[i * frame + header.size()], 0, 0);
        }
    }

    std::size_t capacity() const { return bytes.size() / frame; }

    // Stamps frames [0, n) with seq, seq+1, ... and returns the bytes to write.
    net::const_buffer stamp(std::size_t n, std::uint64_t seq, std::uint64_t ts) {
        for (std::size_t i = 0; i < n; ++i) {
            payload.restamp(&bytes[i * frame + header.size()], seq + i, ts);
        }
        return net::buffer(bytes.data(), n * frame);
    }

private:
    const PayloadTemplate& payload;
    std::string header;
    std::size_t frame;
    std::string bytes;
};

void send_throughput(BatchWriter& out, const PayloadTemplate& payload, std::uint64_t count) {
    const std::size_t frame = payload.text.size() + 10;
    FrameBatch batch(payload, std::max<std::size_t>(1, std::size_t{512} * 1024 / frame));
    for (std::uint64_t seq = 1; seq <= count;) {
        const std::size_t n = std::min<std::uint64_t>(batch.capacity(), count - seq + 1);
        out.write(batch.stamp(n, seq, now_ns()));
        seq += n;
    }
}

void send_paced(BatchWriter& out, const PayloadTemplate& payload, std::uint64_t count,
                double rate) {
    FrameBatch batch(payload, 1024);
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t seq = 1; seq <= count;) {
        // Everything due by now goes out in one write, stamped just before it.
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const std::uint64_t due =
            std::min<std::uint64_t>(count, static_cast<std::uint64_t>(elapsed * rate) + 1);
        if (due >= seq) {
            const std::size_t n = std::min<std::uint64_t>(batch.capacity(), due - seq + 1);
            out.write(batch.stamp(n, seq, now_ns()));
            seq += n;
        }
        std::this_thread::sleep_until(
            start + std::chrono::duration<double>(static_cast<double>(seq - 1) / rate));
    }
}

void serve(tcp::socket socket, net::ssl::context& ctx) {
    beast::websocket::stream<beast::ssl_stream<tcp::socket>> ws(std::move(socket), ctx);
    beast::get_lowest_layer(ws).set_option(tcp::no_delay(true));
    ws.next_layer().handshake(net::ssl::stream_base::server);
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    http::read(ws.next_layer(), buffer, request);
    ws.accept(request);
    auto query = query_of(std::string(request.target()));
    const PayloadTemplate payload(std::stoul(query["size"]));
    const std::uint64_t count = std::stoull(query["count"]);
    const double rate = query.count("rate") ? std::stod(query["rate"]) : 0.0;
    BatchWriter out(ws.next_layer());
    if (rate > 0) {
        send_paced(out, payload, count, rate);
    } else {
        send_throughput(out, payload, count);
    }
    // Close (1000), then wait for the client's close before the socket closes.
    const char close_frame[] = {'\x88', '\x02', '\x03', '\xe8'};
    out.write(net::buffer(close_frame, sizeof close_frame));
    out.close_after_client();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: push_server CERT KEY" << std::endl;
        return 2;
    }
    net::io_context ioc;
    net::ssl::context ctx(net::ssl::context::tls_server);
    ctx.use_certificate_chain_file(argv[1]);
    ctx.use_private_key_file(argv[2], net::ssl::context::pem);
    // The cheapest suite every client offers, so that encryption costs the server (and every
    // client alike) as little as it can.
    SSL_CTX_set_ciphersuites(ctx.native_handle(), "TLS_AES_128_GCM_SHA256");
    tcp::acceptor acceptor(ioc, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
    std::cout << acceptor.local_endpoint().port() << std::endl;
    for (;;) {
        tcp::socket socket(ioc);
        acceptor.accept(socket);
        try {
            serve(std::move(socket), ctx);
        } catch (const std::exception& e) {
            std::cerr << "push_server: " << e.what() << std::endl;
        }
    }
}
