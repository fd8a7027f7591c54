#pragma once
// TLS settings shared by the WebSocket and REST clients. Both verify the server's certificate
// chain against OpenSSL's default trust store (so SSL_CERT_FILE and SSL_CERT_DIR apply) and its
// host name, and both send SNI.

#include <boost/asio/ssl.hpp>
#include <memory>
#include <string>

namespace corvane {

// Options of every WebSocket TLS context: SSL_OP_ALL plus SSL_OP_NO_SSLv3.
extern const unsigned long kWebSocketTlsOptions;

// A fresh client context for one WebSocket connection (any TLS version OpenSSL allows).
std::shared_ptr<boost::asio::ssl::context> make_websocket_tls_context();

// A fresh client context for one REST exchange: TLS 1.2 or newer.
boost::asio::ssl::context make_rest_tls_context();

// Makes `ssl` check the peer certificate against `host` and send `host` as SNI
// (SNI is skipped for IP literals, which the protocol does not allow there).
void expect_peer_host(SSL* ssl, const std::string& host);

}  // namespace corvane
