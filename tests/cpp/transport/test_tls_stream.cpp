// The TLS stream of a WebSocket connection, through its public face, against an OpenSSL server
// on loopback whose bytes the test sends itself (whole, in pieces, or not at all): the handshake
// and its refusals, reads across records and partial records, writes the socket does not take
// at once, and the two ways a peer can end (close_notify or a bare TCP close).

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/write.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/transport/tls_context.hpp"
#include "core/transport/tls_stream.hpp"
#include "transport/test_certificates.hpp"

namespace corvane {
namespace {

namespace net = boost::asio;
using net::ip::tcp;
using error_code = boost::system::error_code;
using testing::Issued;
using testing::TestAuthority;

// The server end: reads its socket itself, writes through a memory BIO, so that the test
// decides how its ciphertext goes out. Test thread only.
class Peer {
public:
    Peer(int fd, const Issued& identity) : fd(fd) {
        ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(ctx, identity.cert.get());
        SSL_CTX_use_PrivateKey(ctx, identity.key.get());
        ssl = SSL_new(ctx);
        SSL_set_accept_state(ssl);
        out = BIO_new(BIO_s_mem());
        SSL_set_bio(ssl, BIO_new_socket(fd, BIO_NOCLOSE), out);
    }
    ~Peer() {
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        ::close(fd);
    }

    // One turn: the handshake goes on, or what has come is read; what TLS wrote goes out.
    void step() {
        if (!SSL_is_init_finished(ssl)) {
            ERR_clear_error();
            const int result = SSL_do_handshake(ssl);
            if (result <= 0 && SSL_get_error(ssl, result) == SSL_ERROR_SSL) failed = true;
        } else {
            read_available();
        }
        send(sealed());
    }
    // What the test writes, as ciphertext that has not gone out yet.
    std::string seal(const std::string& text) {
        for (std::size_t at = 0; at < text.size();) {
            const int n = SSL_write(ssl, text.data() + at, static_cast<int>(text.size() - at));
            if (n <= 0) return {};
            at += static_cast<std::size_t>(n);
        }
        return sealed();
    }
    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(n));
                continue;
            }
            pollfd writable{fd, POLLOUT, 0};
            if (::poll(&writable, 1, 10000) <= 0) return;
        }
    }
    std::string close_notify() {
        SSL_shutdown(ssl);
        return sealed();
    }
    bool ready() const { return SSL_is_init_finished(ssl); }
    void half_close() { ::shutdown(fd, SHUT_WR); }  // a bare FIN, no close_notify

    int fd;
    std::string received;
    bool saw_close_notify = false;
    bool failed = false;

private:
    void read_available() {
        char chunk[65536];
        for (;;) {
            ERR_clear_error();
            const int n = SSL_read(ssl, chunk, sizeof chunk);
            if (n > 0) {
                received.append(chunk, static_cast<std::size_t>(n));
                continue;
            }
            if (SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN) saw_close_notify = true;
            return;
        }
    }
    std::string sealed() {
        std::string bytes;
        char chunk[16384];
        for (int n; (n = BIO_read(out, chunk, sizeof chunk)) > 0;)
            bytes.append(chunk, static_cast<std::size_t>(n));
        return bytes;
    }

    SSL_CTX* ctx;
    SSL* ssl;
    BIO* out;
};

class TlsStreamTest : public ::testing::Test {
protected:
    // A TCP connection on loopback, with the client trusting `trusted` and expecting `host`.
    void connect(X509* trusted, const std::string& host = "localhost") {
        X509_STORE_add_cert(SSL_CTX_get_cert_store(client_ctx.native_handle()), trusted);
        client_ctx.set_verify_mode(net::ssl::verify_peer);
        stream = std::make_unique<TlsStream>(loop, client_ctx);
        expect_peer_host(stream->native_handle(), host);
        tcp::acceptor acceptor(loop, tcp::endpoint(net::ip::address_v4::loopback(), 0));
        stream->next_layer().connect(acceptor.local_endpoint());
        tcp::socket accepted = acceptor.accept();
        accepted.non_blocking(true);
        peer = std::make_unique<Peer>(accepted.release(), server);
    }

    // Runs the client's loop and the peer's turns until `done` holds; false after 10 s. Between
    // turns it waits for either socket to have something, never longer than 10 ms.
    bool drive(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            loop.restart();
            loop.poll();
            peer->step();
            if (done()) break;
            pollfd fds[2] = {{stream->next_layer().native_handle(), POLLIN, 0},
                             {peer->fd, POLLIN, 0}};
            ::poll(fds, 2, 10);
        }
        return true;
    }

    std::optional<error_code> handshake() {
        std::optional<error_code> result;
        stream->async_handshake(net::ssl::stream_base::client,
                                [&](const error_code& ec) { result = ec; });
        EXPECT_TRUE(drive([&] { return result.has_value(); }));
        return result;
    }

    void open() {
        connect(authority.root());
        const auto result = handshake();
        ASSERT_TRUE(result.has_value());
        ASSERT_FALSE(*result) << result->message();
        ASSERT_TRUE(drive([&] { return peer->ready(); }));  // the peer has the client's Finished
    }

    // One read of at most `size` bytes.
    std::pair<error_code, std::string> read_some(std::size_t size) {
        std::string buffer(size, '\0');
        std::optional<std::pair<error_code, std::size_t>> got;
        stream->async_read_some(net::buffer(buffer), [&](const error_code& ec, std::size_t n) {
            got.emplace(ec, n);
        });
        EXPECT_TRUE(drive([&] { return got.has_value(); })) << "no read completed";
        if (!got) return {net::error::timed_out, ""};
        return {got->first, buffer.substr(0, got->second)};
    }

    // Reads until a read fails: what came, and the error it ended with.
    std::pair<std::string, error_code> read_to_end() {
        std::string got;
        error_code ec;
        while (!ec) {
            auto [e, text] = read_some(100);
            got += text;
            ec = e;
        }
        return {got, ec};
    }

    TestAuthority authority;
    Issued server = authority.issue("localhost");
    net::io_context loop;
    net::ssl::context client_ctx{net::ssl::context::tls_client};
    std::unique_ptr<TlsStream> stream;
    std::unique_ptr<Peer> peer;
};

TEST_F(TlsStreamTest, HandshakeThenDataBothWays) {
    open();
    std::optional<error_code> wrote;
    const std::string ping = "ping";
    net::async_write(*stream, net::buffer(ping),
                     [&](const error_code& ec, std::size_t) { wrote = ec; });
    ASSERT_TRUE(drive([&] { return wrote.has_value() && peer->received == "ping"; }));
    EXPECT_FALSE(*wrote);
    peer->send(peer->seal("pong"));
    const auto [ec, text] = read_some(100);
    EXPECT_FALSE(ec) << ec.message();
    EXPECT_EQ(text, "pong");
}

TEST_F(TlsStreamTest, AnUntrustedCertificateIsRefused) {
    const TestAuthority other("another test CA");
    connect(other.root());
    const auto result = handshake();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->category(), net::error::get_ssl_category()) << result->message();
    EXPECT_NE(result->message().find("certificate verify failed"), std::string::npos)
        << result->message();
    EXPECT_EQ(SSL_get_verify_result(stream->native_handle()),
              X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
}

// An impostor authority of the same name as the one trusted: its signature does not verify.
TEST_F(TlsStreamTest, ACertificateFromAnImpostorOfTheTrustedNameIsRefused) {
    const TestAuthority impostor;  // the trusted one's name, another key
    connect(impostor.root());
    const auto result = handshake();
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(*result);
    EXPECT_EQ(SSL_get_verify_result(stream->native_handle()), X509_V_ERR_CERT_SIGNATURE_FAILURE);
    EXPECT_NE(result->message().find("certificate verify failed"), std::string::npos)
        << result->message();
}

TEST_F(TlsStreamTest, ACertificateForAnotherHostIsRefused) {
    connect(authority.root(), "other.example");
    const auto result = handshake();
    ASSERT_TRUE(result.has_value());
    EXPECT_NE(result->message().find("certificate verify failed"), std::string::npos)
        << result->message();
    EXPECT_EQ(SSL_get_verify_result(stream->native_handle()), X509_V_ERR_HOSTNAME_MISMATCH);
}

// Many records sent at once, read through a buffer smaller than a record: nothing lost, nothing
// repeated, whatever the cut.
TEST_F(TlsStreamTest, ReadsCutAcrossRecordsInAnyPlace) {
    open();
    std::string sent;
    std::string ciphertext;
    for (int n = 0; n < 60; ++n) {
        const std::string record = std::to_string(n) + ":" + std::string(1000 + n, 'a' + n % 26);
        sent += record;
        ciphertext += peer->seal(record);
    }
    peer->send(ciphertext);
    std::string got;
    while (got.size() < sent.size()) {
        const auto [ec, text] = read_some(777);
        ASSERT_FALSE(ec) << ec.message() << " after " << got.size();
        ASSERT_LE(text.size(), 777u);
        got += text;
    }
    EXPECT_EQ(got, sent);
}

// A record that comes a byte at a time: the read waits for the rest and then gives it whole.
TEST_F(TlsStreamTest, ARecordArrivingAByteAtATimeIsReadWhole) {
    open();
    const std::string text(3000, 'z');
    std::string ciphertext = peer->seal(text);
    ciphertext += peer->seal("!");
    std::string buffer(8192, '\0');
    std::string got;
    std::optional<error_code> failed;
    std::function<void()> next = [&] {
        stream->async_read_some(net::buffer(buffer), [&](const error_code& ec, std::size_t n) {
            if (ec) {
                failed = ec;
                return;
            }
            got.append(buffer.data(), n);
            next();
        });
    };
    next();
    for (const char byte : ciphertext) {
        peer->send(std::string_view(&byte, 1));
        loop.restart();
        loop.poll();
    }
    ASSERT_TRUE(drive([&] { return got.size() >= text.size() + 1 || failed; }));
    EXPECT_FALSE(failed) << failed->message();
    EXPECT_EQ(got, text + "!");
}

// More than the socket takes at once: the write goes on as the peer reads, and every byte
// arrives once, in order.
TEST_F(TlsStreamTest, AWriteLargerThanTheSocketTakesGoesOutWhole) {
    open();
    std::string large(8 << 20, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 131 % 251);
    std::optional<error_code> wrote;
    std::size_t written = 0;
    net::async_write(*stream, net::buffer(large), [&](const error_code& ec, std::size_t n) {
        wrote = ec;
        written = n;
    });
    ASSERT_TRUE(drive([&] { return wrote.has_value() && peer->received.size() >= large.size(); }));
    EXPECT_FALSE(*wrote) << wrote->message();
    EXPECT_EQ(written, large.size());
    EXPECT_TRUE(peer->received == large);
}

// The peer's close_notify: what came before it is read first, then the end, as eof.
TEST_F(TlsStreamTest, ThePeersCloseNotifyEndsReadsWithEof) {
    open();
    std::string ciphertext = peer->seal("last words");
    ciphertext += peer->close_notify();
    peer->send(ciphertext);
    const auto [got, ec] = read_to_end();
    EXPECT_EQ(got, "last words");
    EXPECT_EQ(ec, net::error::eof) << ec.message();
}

// A bare TCP close, without close_notify: the stream was cut, and says so; a shutdown after it
// ends at once, without an error of its own.
TEST_F(TlsStreamTest, ACloseWithoutCloseNotifyIsATruncation) {
    open();
    peer->send(peer->seal("cut"));
    peer->half_close();
    const auto [got, ec] = read_to_end();
    EXPECT_EQ(got, "cut");
    EXPECT_EQ(ec, net::ssl::error::stream_truncated) << ec.message();
    std::optional<error_code> shut;
    stream->async_shutdown([&](const error_code& e) { shut = e; });
    ASSERT_TRUE(drive([&] { return shut.has_value(); }));
    EXPECT_FALSE(*shut) << shut->message();
}

// Our shutdown: close_notify out, the peer's awaited.
TEST_F(TlsStreamTest, ShutdownSendsCloseNotifyAndWaitsForThePeers) {
    open();
    std::optional<error_code> shut;
    stream->async_shutdown([&](const error_code& e) { shut = e; });
    ASSERT_TRUE(drive([&] { return peer->saw_close_notify; }));
    peer->send(peer->close_notify());
    ASSERT_TRUE(drive([&] { return shut.has_value(); }));
    EXPECT_FALSE(*shut) << shut->message();
}

// A read asked for while reads are held starts only once they are released.
TEST_F(TlsStreamTest, AHeldReadWaitsForItsRelease) {
    open();
    stream->hold_reads();
    std::string buffer(100, '\0');
    std::optional<std::size_t> got;
    stream->async_read_some(net::buffer(buffer),
                            [&](const error_code&, std::size_t n) { got = n; });
    peer->send(peer->seal("held"));
    // The data is there to read, and all there is to do is done: the read has not started.
    pollfd readable{stream->next_layer().native_handle(), POLLIN, 0};
    ASSERT_EQ(::poll(&readable, 1, 10000), 1);
    loop.restart();
    loop.poll();
    EXPECT_FALSE(got.has_value());
    stream->release_reads();
    ASSERT_TRUE(drive([&] { return got.has_value(); }));
    EXPECT_EQ(buffer.substr(0, *got), "held");
}

}  // namespace
}  // namespace corvane
