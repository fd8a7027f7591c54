#pragma once
// The TLS side of the kept-alive REST connections: one client context for the process (the CA
// store is read once, and again only when SSL_CERT_FILE or SSL_CERT_DIR changes), and the last
// session each REST host gave, so that a reconnect resumes it instead of a full handshake.
// Used on the REST thread only (rest_thread.hpp).

#include <boost/asio/ssl/context.hpp>

#include <memory>
#include <string>

namespace corvane::https {

// The context for new REST connections; those already open keep the one they were made with.
std::shared_ptr<boost::asio::ssl::context> rest_tls();

// Makes `ssl` offer the session last seen from `host_port` and remember the next one it gets.
// `host_port` must outlive `ssl`.
void resume_session(SSL* ssl, const std::string* host_port);

}  // namespace corvane::https
