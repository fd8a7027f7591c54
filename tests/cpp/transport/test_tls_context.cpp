#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include "core/transport/tls_context.hpp"

namespace corvane {
namespace {

TEST(TlsContext, WebSocketContextVerifiesWithTheExpectedOptions) {
    const auto ctx = make_websocket_tls_context();
    const auto options = SSL_CTX_get_options(ctx->native_handle());
    EXPECT_EQ(kWebSocketTlsOptions, 0x82000850UL);
    EXPECT_EQ(options & 0x82000850UL, 0x82000850UL);
    EXPECT_EQ(options & 0x00020000UL, 0x00020000UL);  // no compression
    EXPECT_EQ(SSL_CTX_get_verify_mode(ctx->native_handle()), SSL_VERIFY_PEER);
}

TEST(TlsContext, RestContextIsTls12OnlyAndVerifies) {
    auto ctx = make_rest_tls_context();
    EXPECT_EQ(SSL_CTX_get_min_proto_version(ctx.native_handle()), TLS1_2_VERSION);
    EXPECT_EQ(SSL_CTX_get_max_proto_version(ctx.native_handle()), 0);  // and anything newer
    EXPECT_EQ(SSL_CTX_get_verify_mode(ctx.native_handle()), SSL_VERIFY_PEER);
}

}  // namespace
}  // namespace corvane
