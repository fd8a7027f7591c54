#pragma once
// TlsStream: the TLS stream of a WebSocket connection, for websocketpp's asio transport (see
// tls_socket.hpp). OpenSSL reads the TCP socket through a SocketBio: one receive takes up to
// kReadAhead bytes of ciphertext, and a read decrypts record after record straight into the
// caller's buffer until it is full or nothing more has come. So a busy stream pays one system
// call and one wake-up per large read instead of one per 16 KiB record.
//
// Threads: the connection's run thread only (the socket's event loop).

#include <openssl/ssl.h>
#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream_base.hpp>

#include <cstddef>
#include <functional>
#include <optional>

#include "core/transport/socket_bio.hpp"
#include "core/transport/tls_stream_state.hpp"

namespace corvane {

class TlsStream {
public:
    using lowest_layer_type = boost::asio::ip::tcp::socket;
    using next_layer_type = boost::asio::ip::tcp::socket;
    using executor_type = boost::asio::ip::tcp::socket::executor_type;
    using native_handle_type = SSL*;
    using Done = std::function<void(const boost::system::error_code&, std::size_t)>;
    using Finished = std::function<void(const boost::system::error_code&)>;

    static constexpr int kReadAhead = 256 * 1024;

    TlsStream(boost::asio::io_context& loop, boost::asio::ssl::context& context);
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    executor_type get_executor() { return socket.get_executor(); }
    lowest_layer_type& lowest_layer() { return socket; }
    next_layer_type& next_layer() { return socket; }
    SSL* native_handle() { return ssl; }

    void async_handshake(boost::asio::ssl::stream_base::handshake_type, Finished done);
    void async_shutdown(Finished done);
    // Called before each read: what the previous read brought has been taken in whole.
    void on_read(std::function<void()> hook) { before_read = std::move(hook); }
    // Reading stops and goes on. A read asked for while reading is held waits, and starts when
    // it is released; so there is never more than the one read under way. (websocketpp's own
    // pause only takes effect at its next read: a pause asked for by the hook above, inside a
    // read's start, came too late for that read, and a resume then started a second one into
    // the same buffer.)
    void hold_reads() { fire(TlsEvent::hold); }
    void release_reads();
    // The peer is taken as gone (it stopped answering): the close that follows sends no
    // close_notify and waits for none.
    void abandon() { fire(TlsEvent::fail); }
    // The connection has ended: a read that waits is dropped, and with it the connection it holds.
    void forget_held_read();

    // What asio's composed reads and writes call: the first buffer of each sequence.
    template <typename Buffers, typename Handler>
    void async_read_some(const Buffers& buffers, Handler&& handler) {
        if (before_read) before_read();
        const boost::asio::mutable_buffer first = *boost::asio::buffer_sequence_begin(buffers);
        char* data = static_cast<char*>(first.data());
        if (reads_held(state)) {
            held.emplace(HeldRead{data, first.size(), Done(std::forward<Handler>(handler))});
            return;
        }
        read(data, first.size(), Done(std::forward<Handler>(handler)));
    }
    template <typename Buffers, typename Handler>
    void async_write_some(const Buffers& buffers, Handler&& handler) {
        const boost::asio::const_buffer first = *boost::asio::buffer_sequence_begin(buffers);
        write(static_cast<const char*>(first.data()), first.size(),
              Done(std::forward<Handler>(handler)));
    }

private:
    // One TLS call and what it asks for next.
    enum class Step { done, want_read, want_write, closed, failed };
    Step classify(int result, boost::system::error_code& ec);
    void read(char* data, std::size_t size, Done done);
    void write(const char* data, std::size_t size, Done done);
    void handshake_step(Finished done);
    void shutdown_step(Finished done);
    // Waits until the socket can take the next step, then runs `retry`.
    void wait_for(Step step, std::function<void()> retry, Finished fail);
    void attach();  // the socket to OpenSSL, once it is connected
    bool fire(TlsEvent event);

    boost::asio::ip::tcp::socket socket;
    SocketBio transport{kReadAhead};
    SSL* ssl;
    TlsState state = TlsState::detached;  // tls_stream_state.hpp
    std::function<void()> before_read;
    struct HeldRead {
        char* data;
        std::size_t size;
        Done done;
    };
    std::optional<HeldRead> held;  // the read asked for while holding
};

}  // namespace corvane
