#include "rest/test_https_server.hpp"

#include "transport/test_certificates.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <vector>

namespace corvane::testing {
namespace {

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test CA: ") + what);
}

std::string pem_of(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(size));
    BIO_free(bio);
    return pem;
}

std::string pem_of(EVP_PKEY* key) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(size));
    BIO_free(bio);
    return pem;
}

// The process's test CA and the server's certificate under it, made once; the CA's file is
// what SSL_CERT_FILE names from then on.
struct TestCa {
    std::string cert_pem, key_pem;
    TestCa() {
        const TestAuthority ca;
        const Issued server = ca.issue("127.0.0.1");
        cert_pem = pem_of(server.cert.get());
        key_pem = pem_of(server.key.get());
        const std::string file = std::string(::testing::TempDir()) + "corvane-rest-ca-" +
                                 std::to_string(getpid()) + ".pem";
        FILE* out = std::fopen(file.c_str(), "w");
        check(out != nullptr, "CA file");
        const std::string ca_pem = pem_of(ca.root());
        std::fwrite(ca_pem.data(), 1, ca_pem.size(), out);
        std::fclose(out);
        ca_file = file;
    }
    std::string ca_file;
};

const TestCa& test_ca() {
    static const TestCa ca;
    return ca;
}

}  // namespace

struct HttpsServer::Connection : std::enable_shared_from_this<Connection> {
    Connection(HttpsServer& server, tcp::socket socket, int id)
        : server(server), stream(std::move(socket), server.tls), id(id) {}

    void start() {
        stream.async_handshake(net::ssl::stream_base::server,
                               [self = shared_from_this()](boost::system::error_code ec) {
                                   if (!ec) self->read();
                               });
    }

    void read() {
        request = {};
        http::async_read(stream, buffer, request,
                         [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
                             if (ec) return;
                             self->server.bump(self->server.request_count);
                             self->answer(self->server.script(self->id,
                                                              std::string(self->request.target())));
                         });
    }

    void answer(Answer what) {
        if (what == Answer::drop) return close();
        if (what == Answer::hold) {
            std::unique_lock<std::mutex> lock(server.mtx);
            if (!server.released) {
                auto previous = std::move(server.on_release);
                server.on_release = [self = shared_from_this(), previous] {
                    if (previous) previous();
                    self->answer(Answer::keep);
                };
                return;
            }
        }
        response = {};
        response.result(http::status::ok);
        response.version(11);
        response.keep_alive(what != Answer::close);
        response.body() = std::to_string(id) + " " + std::string(request.target());
        response.prepare_payload();
        http::async_write(stream, response,
                          [self = shared_from_this(), what](boost::system::error_code ec,
                                                            std::size_t) {
                              if (ec || what == Answer::close || what == Answer::then_drop)
                                  return self->close();
                              self->read();
                          });
    }

    void close() {
        boost::system::error_code ignored;
        stream.next_layer().close(ignored);
        server.bump(server.closed_count);
    }

    HttpsServer& server;
    net::ssl::stream<tcp::socket> stream;
    const int id;
    boost::beast::flat_buffer buffer;
    http::request<http::string_body> request;
    http::response<http::string_body> response;
};

HttpsServer::HttpsServer(Script script)
    : script(std::move(script)),
      tls(net::ssl::context::tls_server),
      acceptor(io, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0)) {
    const TestCa& ca = test_ca();
    // Other tests of this program trust the simulator's CA: theirs is put back afterwards.
    if (const char* before = std::getenv("SSL_CERT_FILE")) trusted_before = before;
    setenv("SSL_CERT_FILE", ca.ca_file.c_str(), 1);
    tls.use_certificate_chain(net::buffer(ca.cert_pem));
    tls.use_private_key(net::buffer(ca.key_pem), net::ssl::context::pem);
    listen_port = acceptor.local_endpoint().port();
    accept();
    thread = std::thread([this] { io.run(); });
}

HttpsServer::~HttpsServer() {
    net::post(io, [this] {
        on_release = nullptr;
        io.stop();
    });
    thread.join();
    if (trusted_before) {
        setenv("SSL_CERT_FILE", trusted_before->c_str(), 1);
    } else {
        unsetenv("SSL_CERT_FILE");
    }
}

void HttpsServer::accept() {
    acceptor.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
        if (ec) return;
        bump(connection_count);
        int id = 0;
        {
            std::lock_guard<std::mutex> lock(mtx);
            id = connection_count;
        }
        std::make_shared<Connection>(*this, std::move(socket), id)->start();
        accept();
    });
}

void HttpsServer::bump(int& counter) {
    std::lock_guard<std::mutex> lock(mtx);
    ++counter;
    changed.notify_all();
}

int HttpsServer::value(Count which) const {
    switch (which) {
        case Count::connections:
            return connection_count;
        case Count::requests:
            return request_count;
        case Count::closed:
            return closed_count;
    }
    return 0;
}

int HttpsServer::count(Count which) const {
    std::lock_guard<std::mutex> lock(mtx);
    return value(which);
}

bool HttpsServer::wait_for(Count which, int at_least, std::chrono::milliseconds bound) const {
    std::unique_lock<std::mutex> lock(mtx);
    return changed.wait_for(lock, bound, [&] { return value(which) >= at_least; });
}

void HttpsServer::release() {
    {
        std::lock_guard<std::mutex> lock(mtx);
        released = true;
    }
    net::post(io, [this] {
        if (auto run = std::exchange(on_release, nullptr)) run();
    });
}

}  // namespace corvane::testing
