#pragma once
// The socket policy of the connectors' websocketpp client (websocketpp's own extension point for
// the asio transport): TLS over TlsStream (tls_stream.hpp), which reads large and decrypts
// straight into websocketpp's read buffer. As websocketpp's TLS policy it takes its context
// from the TLS init handler; the caller checks the peer and sends SNI (expect_peer_host).
//
// Threads: the connection's run thread, as the rest of the transport.

#include <websocketpp/common/connection_hdl.hpp>
#include <websocketpp/transport/asio/security/base.hpp>
#include <websocketpp/uri.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/io_context_strand.hpp>
#include <boost/asio/ssl/context.hpp>

#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "core/transport/tls_stream.hpp"

namespace corvane::tls_socket {

namespace socket_errors = websocketpp::transport::asio::socket;
using InitHandler = websocketpp::transport::asio::socket::init_handler;
using TlsInitHandler =
    std::function<std::shared_ptr<boost::asio::ssl::context>(websocketpp::connection_hdl)>;

class connection : public std::enable_shared_from_this<connection> {
public:
    using ptr = std::shared_ptr<connection>;
    using socket_type = TlsStream;

    ptr get_shared() { return shared_from_this(); }
    bool is_secure() const { return true; }
    TlsStream::lowest_layer_type& get_raw_socket() { return stream->lowest_layer(); }
    TlsStream::next_layer_type& get_next_layer() { return stream->next_layer(); }
    TlsStream& get_socket() { return *stream; }
    void set_tls_init_handler(TlsInitHandler h) { tls_init = std::move(h); }

    std::string get_remote_endpoint(websocketpp::lib::error_code& ec) const {
        boost::system::error_code asio_ec;
        const auto peer = stream->lowest_layer().remote_endpoint(asio_ec);
        std::ostringstream text;
        if (asio_ec) {
            ec = websocketpp::transport::error::make_error_code(
                websocketpp::transport::error::pass_through);
            text << "Error getting remote endpoint: " << asio_ec << " (" << asio_ec.message()
                 << ")";
        } else {
            ec = websocketpp::lib::error_code();
            text << peer;
        }
        return text.str();
    }

    template <typename ErrorCode>
    static websocketpp::lib::error_code translate_ec(ErrorCode ec) {
        return websocketpp::transport::error::make_error_code(
            ec.category() == boost::asio::error::get_ssl_category()
                ? websocketpp::transport::error::tls_error
                : websocketpp::transport::error::pass_through);
    }
    static websocketpp::lib::error_code translate_ec(websocketpp::lib::error_code ec) { return ec; }

protected:
    websocketpp::lib::error_code init_asio(boost::asio::io_context* loop,
                                           std::shared_ptr<boost::asio::io_context::strand>,
                                           bool /*is_server*/) {
        if (!tls_init)
            return socket_errors::make_error_code(socket_errors::error::missing_tls_init_handler);
        context = tls_init(handle);
        if (!context)
            return socket_errors::make_error_code(socket_errors::error::invalid_tls_context);
        stream = std::make_unique<TlsStream>(*loop, *context);
        return websocketpp::lib::error_code();
    }
    void set_uri(websocketpp::uri_ptr) {}
    void set_handle(websocketpp::connection_hdl h) { handle = std::move(h); }
    void pre_init(InitHandler callback) { callback(websocketpp::lib::error_code()); }
    void post_init(InitHandler callback) {
        ec = socket_errors::make_error_code(socket_errors::error::tls_handshake_timeout);
        stream->async_handshake(
            boost::asio::ssl::stream_base::client,
            [self = get_shared(), callback](const boost::system::error_code& e) {
                self->ec =
                    e ? socket_errors::make_error_code(socket_errors::error::tls_handshake_failed)
                      : websocketpp::lib::error_code();
                callback(self->ec);
            });
    }
    websocketpp::lib::error_code get_ec() const { return ec; }
    boost::system::error_code cancel_socket() {
        boost::system::error_code result;
        get_raw_socket().cancel(result);
        return result;
    }
    void async_shutdown(socket_errors::shutdown_handler callback) {
        stream->async_shutdown(std::move(callback));
    }

private:
    std::shared_ptr<boost::asio::ssl::context> context;
    std::unique_ptr<TlsStream> stream;
    websocketpp::connection_hdl handle;
    websocketpp::lib::error_code ec;
    TlsInitHandler tls_init;
};

class endpoint {
public:
    using socket_con_type = connection;
    using socket_con_ptr = connection::ptr;

    bool is_secure() const { return true; }
    void set_tls_init_handler(TlsInitHandler h) { tls_init = std::move(h); }

protected:
    websocketpp::lib::error_code init(socket_con_ptr scon) {
        scon->set_tls_init_handler(tls_init);
        return websocketpp::lib::error_code();
    }

private:
    TlsInitHandler tls_init;
};

}  // namespace corvane::tls_socket
