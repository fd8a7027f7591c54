#include "core/transport/tls_stream.hpp"

#include <openssl/err.h>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/error.hpp>

#include <cerrno>
#include <climits>
#include <stdexcept>
#include <utility>

namespace corvane {
namespace {

int clamp(std::size_t size) {
    return static_cast<int>(std::min<std::size_t>(size, INT_MAX));
}

}  // namespace

TlsStream::TlsStream(boost::asio::io_context& loop, boost::asio::ssl::context& context)
    : socket(loop), ssl(SSL_new(context.native_handle())) {
    if (ssl == nullptr) throw std::runtime_error("cannot make a TLS connection");
    // A write the socket did not take whole is retried with the rest, from wherever it is.
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_set_connect_state(ssl);
}

TlsStream::~TlsStream() {
    SSL_free(ssl);  // and its BIO, which leaves the descriptor to `socket`
}

void TlsStream::attach() {
    if (state != TlsState::detached) return;
    socket.native_non_blocking(true);
    BIO* bio = transport.attach(static_cast<int>(socket.native_handle()));
    SSL_set_bio(ssl, bio, bio);
    fire(TlsEvent::attach);
}

bool TlsStream::fire(TlsEvent event) {
    const std::optional<TlsState> next = tls_transition(state, event);
    if (!next) return false;
    state = *next;
    return true;
}

TlsStream::Step TlsStream::classify(int result, boost::system::error_code& ec) {
    const int error = SSL_get_error(ssl, result);
    // The last error queued is the one TLS ended with ("certificate verify failed"); the ones
    // before it are its causes (the signature check that failed, in the library's own words).
    const unsigned long queued = ERR_peek_last_error();
    ERR_clear_error();
    switch (error) {
        case SSL_ERROR_NONE:
            return Step::done;
        case SSL_ERROR_WANT_READ:
            return Step::want_read;
        case SSL_ERROR_WANT_WRITE:
            return Step::want_write;
        case SSL_ERROR_ZERO_RETURN:  // the peer's close_notify
            ec = boost::asio::error::eof;
            return Step::closed;
        case SSL_ERROR_SYSCALL:
            fire(TlsEvent::fail);
            ec = queued != 0  ? boost::system::error_code(static_cast<int>(queued),
                                                          boost::asio::error::get_ssl_category())
                 : errno != 0 ? boost::system::error_code(errno, boost::system::system_category())
                              : boost::asio::ssl::error::stream_truncated;
            return Step::failed;
        default:
            fire(TlsEvent::fail);
            // The TCP connection ended without the peer's close_notify.
            ec = ERR_GET_REASON(queued) == SSL_R_UNEXPECTED_EOF_WHILE_READING
                     ? boost::system::error_code(boost::asio::ssl::error::stream_truncated)
                     : boost::system::error_code(static_cast<int>(queued),
                                                 boost::asio::error::get_ssl_category());
            return Step::failed;
    }
}

// Record after record, straight into the caller's buffer, while the socket has data.
void TlsStream::read(char* data, std::size_t size, Done done) {
    std::size_t got = 0;
    boost::system::error_code ec;
    Step step = Step::done;
    while (got < size) {
        ERR_clear_error();
        errno = 0;
        const int n = SSL_read(ssl, data + got, clamp(size - got));
        if (n <= 0) {
            step = classify(n, ec);
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    if (got == 0 && (step == Step::want_read || step == Step::want_write)) {
        return wait_for(
            step, [this, data, size, done] { read(data, size, done); },
            [done](const boost::system::error_code& e) { done(e, 0); });
    }
    // What came before an end is delivered first; the next read meets the end again.
    if (got > 0) ec.clear();
    boost::asio::post(socket.get_executor(), [done, ec, got] { done(ec, got); });
}

void TlsStream::release_reads() {
    fire(TlsEvent::release);
    if (!held) return;
    HeldRead next = std::move(*held);
    held.reset();
    // Its handler keeps the connection, and with it this stream, until it has run.
    boost::asio::post(socket.get_executor(), [this, next = std::move(next)] {
        read(next.data, next.size, next.done);
    });
}

void TlsStream::forget_held_read() {
    fire(TlsEvent::release);
    const std::optional<HeldRead> dropped = std::exchange(held, std::nullopt);
}

void TlsStream::write(const char* data, std::size_t size, Done done) {
    ERR_clear_error();
    errno = 0;
    const int n = SSL_write(ssl, data, clamp(size));
    boost::system::error_code ec;
    const Step step = n > 0 ? Step::done : classify(n, ec);
    if (step == Step::want_read || step == Step::want_write) {
        return wait_for(
            step, [this, data, size, done] { write(data, size, done); },
            [done](const boost::system::error_code& e) { done(e, 0); });
    }
    const std::size_t written = n > 0 ? static_cast<std::size_t>(n) : 0;
    boost::asio::post(socket.get_executor(), [done, ec, written] { done(ec, written); });
}

void TlsStream::async_handshake(boost::asio::ssl::stream_base::handshake_type, Finished done) {
    attach();
    handshake_step(std::move(done));
}

void TlsStream::handshake_step(Finished done) {
    ERR_clear_error();
    errno = 0;
    const int result = SSL_do_handshake(ssl);
    boost::system::error_code ec;
    const Step step = result == 1 ? Step::done : classify(result, ec);
    if (step == Step::want_read || step == Step::want_write) {
        return wait_for(
            step, [this, done] { handshake_step(done); }, done);
    }
    boost::asio::post(socket.get_executor(), [done, ec] { done(ec); });
}

// Our close_notify, then the peer's, as an asio TLS stream does. Not after a fatal error: OpenSSL
// forbids it, and its failure would replace the error that ended the connection.
void TlsStream::async_shutdown(Finished done) {
    if (!may_shut_down(state)) {
        boost::asio::post(socket.get_executor(), [done] { done(boost::system::error_code()); });
        return;
    }
    shutdown_step(std::move(done));
}

void TlsStream::shutdown_step(Finished done) {
    ERR_clear_error();
    errno = 0;
    int result = SSL_shutdown(ssl);
    if (result == 0) result = SSL_shutdown(ssl);
    boost::system::error_code ec;
    const Step step = result == 1 ? Step::done : classify(result, ec);
    if (step == Step::want_read || step == Step::want_write) {
        return wait_for(
            step, [this, done] { shutdown_step(done); }, done);
    }
    boost::asio::post(socket.get_executor(), [done, ec] { done(ec); });
}

void TlsStream::wait_for(Step step, std::function<void()> retry, Finished fail) {
    const auto what = step == Step::want_read ? boost::asio::ip::tcp::socket::wait_read
                                              : boost::asio::ip::tcp::socket::wait_write;
    socket.async_wait(what, [retry = std::move(retry),
                             fail = std::move(fail)](const boost::system::error_code& ec) {
        if (ec) {
            fail(ec);
        } else {
            retry();
        }
    });
}

}  // namespace corvane
