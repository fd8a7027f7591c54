#pragma once
// BatchWriter: the servers' way of writing a WebSocket stream as fast as the client reads it.
// Used by one connection's thread at a time.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>

#include <sys/socket.h>
#include <sys/time.h>

#include <stdexcept>
#include <string>

#include "tls_ring.hpp"
#include "ws_frame.hpp"

namespace corvane::bench {

// Encrypts whole batches into a ring (see tls_ring.hpp) and sends each batch's records in a few
// big sends. Through the TLS stream every 16 KiB record would cost its own send and wake the
// client once. Takes over the stream's TLS session once the upgrade is done; nothing is read
// through the stream afterwards.
class BatchWriter {
public:
    explicit BatchWriter(boost::beast::ssl_stream<boost::asio::ip::tcp::socket>& stream)
        : ssl(stream.native_handle()),
          fd(boost::beast::get_lowest_layer(stream).native_handle()),
          ring(ssl, fd) {}

    void write(boost::asio::const_buffer bytes) {
        const char* data = static_cast<const char*>(bytes.data());
        for (std::size_t left = bytes.size(); left > 0;) {
            std::size_t written = 0;  // partial writes: as much as the ring takes
            if (SSL_write_ex(ssl, data, left, &written) != 1 &&
                SSL_get_error(ssl, 0) != SSL_ERROR_WANT_WRITE) {
                throw std::runtime_error("SSL_write failed");
            }
            data += written;
            left -= written;
            if (!ring.flush()) throw std::runtime_error("send failed");
        }
    }

    // Waits (at most 5 s) until the client sends its close frame, its close_notify or goes,
    // then ends the TLS session. Ending it first would be wrong: uvloop's TLS transport drops
    // data that arrives together with the end of the stream.
    void close_after_client() {
        await_client();
        SSL_shutdown(ssl);
        (void)ring.flush();  // the client may be gone already
    }

private:
    void await_client() {
        const timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string plain;
        char chunk[4096];
        while (ring.fill()) {
            for (int got; (got = SSL_read(ssl, chunk, sizeof chunk)) > 0;)
                plain.append(chunk, static_cast<std::size_t>(got));
            if (holds_close(plain) || (SSL_get_shutdown(ssl) & SSL_RECEIVED_SHUTDOWN) != 0) return;
        }
    }

    // Walks the client's frames; true once one is a close frame.
    static bool holds_close(const std::string& bytes) {
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
        for (std::size_t at = 0; at < bytes.size();) {
            std::uint64_t size = 0;
            const std::size_t head = read_frame_header(p + at, bytes.size() - at, size);
            if (head == 0) return false;
            if ((p[at] & 0x0f) == 0x8) return true;
            at += head + size;
        }
        return false;
    }

    SSL* ssl;
    int fd;
    TlsRing ring;
};

}  // namespace corvane::bench
