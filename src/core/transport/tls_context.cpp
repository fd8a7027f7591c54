#include "core/transport/tls_context.hpp"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <boost/asio/ip/address.hpp>

#include <stdexcept>

namespace corvane {

const unsigned long kWebSocketTlsOptions = SSL_OP_ALL | SSL_OP_NO_SSLv3;

namespace {

bool is_ip_literal(const std::string& host) {
    boost::system::error_code ec;
    boost::asio::ip::make_address(host, ec);
    return !ec;
}

void trust_system_store(boost::asio::ssl::context& ctx) {
    ctx.set_default_verify_paths();
    ctx.set_verify_mode(boost::asio::ssl::verify_peer);
}

}  // namespace

std::shared_ptr<boost::asio::ssl::context> make_websocket_tls_context() {
    auto ctx = std::make_shared<boost::asio::ssl::context>(boost::asio::ssl::context::tls);
    ctx->set_options(kWebSocketTlsOptions);
    trust_system_store(*ctx);
    return ctx;
}

boost::asio::ssl::context make_rest_tls_context() {
    boost::asio::ssl::context ctx(boost::asio::ssl::context::tls_client);
    SSL_CTX_set_min_proto_version(ctx.native_handle(), TLS1_2_VERSION);
    trust_system_store(ctx);
    return ctx;
}

void expect_peer_host(SSL* ssl, const std::string& host) {
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const bool ok = is_ip_literal(host)
                        ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1
                        : X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) == 1;
    if (!ok) throw std::runtime_error("cannot check the certificate for host " + host);
    if (!is_ip_literal(host) && SSL_set_tlsext_host_name(ssl, host.c_str()) != 1) {
        throw std::runtime_error("cannot send SNI for host " + host);
    }
}

}  // namespace corvane
