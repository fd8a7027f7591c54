#pragma once
// SocketBio: the transport under a WebSocket connection's SSL object. It receives ciphertext from
// a non-blocking socket in large reads, into a buffer of its own, and hands OpenSSL each record
// from there; what OpenSSL writes goes straight to the socket. OpenSSL's own read-ahead makes the
// large read too, but before each record it moves everything it has not used yet to the front of
// its buffer: with many records per read that copies the ciphertext over and over.
//
// Threads: the thread that drives the SSL object (the connection's run thread).

#include <openssl/bio.h>

#include <cstddef>
#include <memory>

namespace corvane {

class SocketBio {
public:
    explicit SocketBio(std::size_t capacity) : capacity(capacity) {}

    // A new BIO over `fd` that reads through this object, which must outlive it. For
    // SSL_set_bio, which takes it over.
    BIO* attach(int fd);

private:
    static int read(BIO* bio, char* out, int size);
    static int write(BIO* bio, const char* data, int size);
    static long control(BIO* bio, int command, long number, void* pointer);
    int take(BIO* bio, char* out, std::size_t size);

    const std::size_t capacity;
    std::unique_ptr<char[]> buffer;
    std::size_t begin = 0;  // what OpenSSL has not taken yet: [begin, end)
    std::size_t end = 0;
    int fd = -1;
    bool at_eof = false;
};

}  // namespace corvane
