#pragma once
// TlsRing: a TLS session whose records pass through a large BIO-pair ring that the socket reads
// into and sends from directly. One recv or send then moves many 16 KiB records at once, where
// a TLS stream moves one, and no byte is copied on the way. Shared by the push server and the
// ceiling client.

#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cstddef>

namespace corvane::bench {

class TlsRing {
public:
    // Takes over `ssl`'s transport (its old BIOs are freed); `ssl` itself stays the caller's.
    TlsRing(SSL* ssl, int fd) : fd(fd) {
        BIO* inner = nullptr;
        BIO_new_bio_pair(&inner, kRing, &network, kRing);
        SSL_set_bio(ssl, inner, inner);
    }
    ~TlsRing() { BIO_free(network); }
    TlsRing(const TlsRing&) = delete;
    TlsRing& operator=(const TlsRing&) = delete;

    // One recv into the ring; false when the peer has gone, the read timed out or the ring is
    // full.
    bool fill() {
        char* room = nullptr;
        const int space = BIO_nwrite0(network, &room);
        if (space <= 0) return false;
        const ssize_t n = ::recv(fd, room, static_cast<std::size_t>(space), 0);
        if (n <= 0) return false;
        BIO_nwrite(network, &room, static_cast<int>(n));
        return true;
    }

    // Sends everything the session has written; false if the socket refuses.
    bool flush() {
        char* data = nullptr;
        for (int size; (size = BIO_nread0(network, &data)) > 0;) {
            const ssize_t n = ::send(fd, data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
            if (n <= 0) return false;
            BIO_nread(network, &data, static_cast<int>(n));
        }
        return true;
    }

private:
    static constexpr int kRing = 1 << 20;

    int fd;
    BIO* network = nullptr;
};

}  // namespace corvane::bench
