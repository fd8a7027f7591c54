// The order-book benchmark's server: TLS on loopback, one thread per connection. A WebSocket
// client gets a recorded replay (book pushes, then an end marker) as fast as it reads; an HTTPS
// GET gets the REST answer the replays carry for its path and instrument (the book just before
// the first push), on the same port, as OKX's books and MEXC's depth snapshots.
//
//   book_server CERT KEY NAME=FILE...      prints the port, then serves until killed
//   WebSocket: wss://localhost:PORT/?replay=NAME
//   REST: GET /api/v5/market/books?instId=..  GET /api/v3/depth?symbol=..
//
// A replay file is records of one kind byte and a little-endian u32 length, then the bytes:
// 'T' a text frame, 'B' a binary frame, 'W' wait (at most 10 s) until this connection's client
// has had a REST answer, then 200 ms, 'R' a REST answer "PATH INSTRUMENT\nBODY".

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "batch_writer.hpp"
#include "ws_frame.hpp"

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using namespace corvane::bench;

namespace {

// A replay laid out as wire bytes: the frames up to each wait, then the rest.
struct Replay {
    std::vector<std::string> parts;  // framed bytes; a wait for a REST answer between two
    std::size_t frames = 0;
};

std::map<std::string, Replay> replays;     // by name; read-only once serving
std::map<std::string, std::string> rests;  // "PATH INSTRUMENT" -> body; read-only too

// REST answers served so far: a replay's wait is over once one more has gone out than when its
// connection was accepted (clients run one at a time).
std::mutex answered_mutex;
std::condition_variable answered_cv;
std::uint64_t answered = 0;

std::string param(const std::string& target, const std::string& name) {
    const auto q = target.find('?');
    if (q == std::string::npos) return {};
    const std::string query = "&" + target.substr(q + 1);
    const auto at = query.find("&" + name + "=");
    if (at == std::string::npos) return {};
    const auto from = at + name.size() + 2;
    return query.substr(from, query.find('&', from) - from);
}

void load(const std::string& name, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    Replay& replay = replays[name];
    replay.parts.emplace_back();
    for (char kind; in.get(kind);) {
        unsigned char size_bytes[4];
        in.read(reinterpret_cast<char*>(size_bytes), 4);
        const std::uint32_t size = size_bytes[0] | size_bytes[1] << 8 | size_bytes[2] << 16 |
                                   static_cast<std::uint32_t>(size_bytes[3]) << 24;
        std::string data(size, '\0');
        in.read(data.data(), size);
        if (!in) throw std::runtime_error("truncated replay " + path);
        if (kind == 'T' || kind == 'B') {
            std::string header = text_frame_header(size);
            if (kind == 'B') header[0] = '\x82';
            replay.parts.back() += header + data;
            ++replay.frames;
        } else if (kind == 'W') {
            replay.parts.emplace_back();
        } else if (kind == 'R') {
            const auto line = data.find('\n');
            rests[data.substr(0, line)] = data.substr(line + 1);
        } else {
            throw std::runtime_error("unknown record in " + path);
        }
    }
}

void wait_for_answer(std::uint64_t seen) {
    std::unique_lock<std::mutex> lock(answered_mutex);
    if (!answered_cv.wait_for(lock, std::chrono::seconds(10), [&] { return answered > seen; })) {
        std::cerr << "book_server: no REST request within 10 s; sending on" << std::endl;
        return;
    }
    // A client keeps a bounded number of pushes (the module 1000) while its snapshot is on the
    // way; a flood sent the instant the answer leaves would pass that bound before the answer is
    // read, and every later snapshot, this same one, would be too old. An exchange sends a few
    // hundred pushes a second: this pause stands for that.
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

void stream(beast::ssl_stream<tcp::socket>& tls, http::request<http::string_body>& request,
            std::uint64_t seen) {
    beast::websocket::stream<beast::ssl_stream<tcp::socket>&> ws(tls);
    ws.accept(request);
    const auto found = replays.find(param(std::string(request.target()), "replay"));
    if (found == replays.end()) {
        ws.close(beast::websocket::close_reason(beast::websocket::close_code::policy_error));
        return;
    }
    BatchWriter out(tls);
    const auto& parts = found->second.parts;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) wait_for_answer(seen);
        out.write(net::buffer(parts[i]));
    }
    // No close from here: a connection closed under a reader takes its books out of sync before
    // it has looked at them. The reader closes once it has read the end marker.
    out.close_after_client();
}

void answer(beast::ssl_stream<tcp::socket>& tls, beast::flat_buffer& buffer,
            http::request<http::string_body>& request) {
    for (;;) {
        const std::string target(request.target());
        const std::string path = target.substr(0, target.find('?'));
        const std::string instrument =
            path == "/api/v3/depth" ? param(target, "symbol") : param(target, "instId");
        const auto found = rests.find(path + " " + instrument);
        http::response<http::string_body> reply(
            found == rests.end() ? http::status::not_found : http::status::ok, request.version());
        reply.set(http::field::content_type, "application/json");
        reply.keep_alive(request.keep_alive());
        reply.body() = found == rests.end() ? "{}" : found->second;
        reply.prepare_payload();
        http::write(tls, reply);
        {
            std::lock_guard<std::mutex> lock(answered_mutex);
            ++answered;
        }
        answered_cv.notify_all();
        if (!request.keep_alive()) return;
        request = {};
        beast::error_code ec;
        http::read(tls, buffer, request, ec);
        if (ec) return;
    }
}

void serve(tcp::socket socket, net::ssl::context& ctx, std::uint64_t seen) {
    socket.set_option(tcp::no_delay(true));
    beast::ssl_stream<tcp::socket> tls(std::move(socket), ctx);
    tls.handshake(net::ssl::stream_base::server);
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    http::read(tls, buffer, request);
    if (beast::websocket::is_upgrade(request)) {
        stream(tls, request, seen);
    } else {
        answer(tls, buffer, request);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr << "usage: book_server CERT KEY NAME=FILE..." << std::endl;
        return 2;
    }
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto eq = arg.find('=');
        load(arg.substr(0, eq), arg.substr(eq + 1));
    }
    net::io_context ioc;
    net::ssl::context ctx(net::ssl::context::tls_server);
    ctx.use_certificate_chain_file(argv[1]);
    ctx.use_private_key_file(argv[2], net::ssl::context::pem);
    SSL_CTX_set_ciphersuites(ctx.native_handle(), "TLS_AES_128_GCM_SHA256");  // as push_server
    tcp::acceptor acceptor(ioc, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
    std::cout << acceptor.local_endpoint().port() << std::endl;
    for (;;) {
        tcp::socket socket(ioc);
        acceptor.accept(socket);
        std::uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(answered_mutex);
            seen = answered;
        }
        std::thread([socket = std::move(socket), &ctx, seen]() mutable {
            try {
                serve(std::move(socket), ctx, seen);
            } catch (const std::exception& e) {
                std::cerr << "book_server: " << e.what() << std::endl;
            }
        }).detach();
    }
}
