#include "core/transport/socket_bio.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>

namespace corvane {
namespace {

bool would_block(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

}  // namespace

BIO* SocketBio::attach(int socket) {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "socket reader");
        if (m == nullptr || BIO_meth_set_read(m, &SocketBio::read) != 1 ||
            BIO_meth_set_write(m, &SocketBio::write) != 1 ||
            BIO_meth_set_ctrl(m, &SocketBio::control) != 1) {
            throw std::runtime_error("cannot make a TLS transport");
        }
        return m;
    }();
    BIO* bio = BIO_new(method);
    if (bio == nullptr) throw std::runtime_error("cannot make a TLS transport");
    fd = socket;
    buffer = std::make_unique<char[]>(capacity);
    BIO_set_data(bio, this);
    BIO_set_init(bio, 1);
    return bio;
}

int SocketBio::read(BIO* bio, char* out, int size) {
    BIO_clear_retry_flags(bio);
    if (size <= 0) return 0;
    return static_cast<SocketBio*>(BIO_get_data(bio))
        ->take(bio, out, static_cast<std::size_t>(size));
}

// OpenSSL asks for a record header, then for the record: both come from the buffer, refilled by
// one receive of up to `capacity` bytes once it is empty. Nothing is left in it when the socket
// has no more, so waiting for the socket to be readable never strands a record.
int SocketBio::take(BIO* bio, char* out, std::size_t size) {
    if (begin == end) {
        const ssize_t got = ::recv(fd, buffer.get(), capacity, 0);
        if (got < 0) {
            if (would_block(errno)) BIO_set_retry_read(bio);
            return -1;
        }
        if (got == 0) {
            at_eof = true;
            return 0;
        }
        begin = 0;
        end = static_cast<std::size_t>(got);
    }
    const std::size_t n = std::min(size, end - begin);
    std::memcpy(out, buffer.get() + begin, n);
    begin += n;
    return static_cast<int>(n);
}

int SocketBio::write(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    if (size <= 0) return 0;
    auto* self = static_cast<SocketBio*>(BIO_get_data(bio));
    const ssize_t sent = ::send(self->fd, data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
    if (sent < 0) {
        if (would_block(errno)) BIO_set_retry_write(bio);
        return -1;
    }
    return static_cast<int>(sent);
}

long SocketBio::control(BIO* bio, int command, long /*number*/, void* /*pointer*/) {
    const auto* self = static_cast<const SocketBio*>(BIO_get_data(bio));
    switch (command) {
        case BIO_CTRL_FLUSH:
            return 1;
        case BIO_CTRL_EOF:  // how OpenSSL tells a peer that vanished from an error
            return self->at_eof ? 1 : 0;
        case BIO_CTRL_PENDING:
            return static_cast<long>(std::min<std::size_t>(self->end - self->begin, LONG_MAX));
        default:
            return 0;
    }
}

}  // namespace corvane
