#include "core/rest/https/kept_connection.hpp"

#include <sys/socket.h>

#include <cerrno>

#include <boost/asio/connect.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include "core/rest/https/host_pool.hpp"
#include "core/rest/https/rest_tls.hpp"
#include "core/transport/tls_context.hpp"

namespace corvane::https {
namespace {

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

constexpr std::uint64_t kBodyLimit = 8 * 1024 * 1024;
// Servers drop a keep-alive connection idle for some unpublished while (commonly 60 s or more);
// one idle this long is closed first, so that no request races the server's close.
constexpr std::chrono::seconds kIdleLimit{30};

std::string step_failure(const char* step, const error_code& ec) {
    return std::string(step) + ": " + ec.message();
}

// A write that failed this way left nothing on the wire: the connection was already gone.
bool refused_at_once(const error_code& ec) {
    return ec == net::error::broken_pipe || ec == net::error::connection_reset ||
           ec == net::error::not_connected || ec == net::error::bad_descriptor;
}

}  // namespace

KeptConnection::KeptConnection(net::io_context& loop, HostPool& pool, const Endpoint& endpoint,
                               const std::string& host_port)
    : pool(pool),
      endpoint(endpoint),
      host_port(host_port),
      resolver(loop),
      tls(rest_tls()),
      stream(loop, *tls),
      timer(loop) {
    expect_peer_host(stream.native_handle(), endpoint.host);
    resume_session(stream.native_handle(), &this->host_port);
}

void KeptConnection::open(std::shared_ptr<Job> held) {
    job = std::move(held);
    if (job) job->on = this;
    timer.expires_after(endpoint.timeout);
    timer.async_wait([self = shared_from_this()](error_code ec) {
        if (!ec && self->current == State::opening) {
            self->opening_failed("request to " + self->endpoint.host + " timed out after " +
                                 std::to_string(self->endpoint.timeout.count()) + " ms");
        }
    });
    resolver.async_resolve(endpoint.host, endpoint.port,
                           [self = shared_from_this()](error_code ec,
                                                       const tcp::resolver::results_type& r) {
                               self->on_resolve(ec, r);
                           });
}

void KeptConnection::attach(std::shared_ptr<Job> held) {
    job = std::move(held);
    job->on = this;
}

void KeptConnection::detach() {
    if (job) job->on = nullptr;
    job = nullptr;
}

void KeptConnection::on_resolve(error_code ec, const tcp::resolver::results_type& results) {
    if (current != State::opening) return;
    if (ec) return opening_failed(step_failure("resolve", ec));
    net::async_connect(stream.next_layer(), results,
                       [self = shared_from_this()](error_code e, const tcp::endpoint&) {
                           self->on_connect(e);
                       });
}

void KeptConnection::on_connect(error_code ec) {
    if (current != State::opening) return;
    if (ec) return opening_failed(step_failure("connect", ec));
    stream.next_layer().set_option(tcp::no_delay(true), ec);
    stream.async_handshake(net::ssl::stream_base::client,
                           [self = shared_from_this()](error_code e) { self->on_handshake(e); });
}

void KeptConnection::on_handshake(error_code ec) {
    if (current != State::opening) return;
    if (ec) return opening_failed(step_failure("handshake", ec));
    timer.cancel();
    if (job) {
        send();
    } else {
        become_idle();
    }
}

void KeptConnection::opening_failed(const std::string& why) {
    std::shared_ptr<Job> held = std::move(job);
    if (held) held->on = nullptr;
    close();
    pool.on_open_failed(*this, held, why);
}

bool KeptConnection::take(std::shared_ptr<Job> next) {
    if (server_closed()) {
        close();
        pool.on_lost(*this);
        return false;
    }
    job = std::move(next);
    job->on = this;
    send();
    return true;
}

void KeptConnection::send() {
    fire(KeptEvent::send);
    ++idle_turn;  // ends the idle timer
    timer.cancel();
    parser.emplace();
    parser->header_limit(8192);
    parser->body_limit(kBodyLimit);
    job->fire(JobEvent::write);  // from here on, a failure leaves the outcome unknown
    job->written_at = std::chrono::system_clock::now();
    http::async_write(stream, job->request,
                      [self = shared_from_this()](error_code e, std::size_t bytes) {
                          self->on_write(e, bytes);
                      });
}

void KeptConnection::on_write(error_code ec, std::size_t bytes) {
    if (!carries_call(current)) return;
    if (ec && reused && bytes == 0 && refused_at_once(ec) && !job->retried()) {
        // The server had closed it: nothing left, so the request goes out once more, elsewhere.
        std::shared_ptr<Job> again = std::move(job);
        again->on = nullptr;
        again->fire(JobEvent::refused);
        close();
        pool.retry(*this, again);
        return;
    }
    if (ec) return exchange_failed(step_failure("write", ec));
    // A read still under way from the idle spell becomes the answer's first read.
    if (!idle_reading) read_answer();
}

void KeptConnection::read_answer() {
    if (!fire(KeptEvent::read)) return;  // its read is under way already
    read_header();
}

void KeptConnection::read_header() {
    http::async_read_header(stream, buffer, *parser,
                            [self = shared_from_this()](error_code e, std::size_t) {
                                self->on_header(e);
                            });
}

// An interim answer (1xx, "100 Continue") is not the answer: the next one is read. Some Beast
// releases let a response's Content-Length past the body limit, so the limit is checked here
// before the body is read, and again after it.
void KeptConnection::on_header(error_code ec) {
    if (!carries_call(current)) return;
    if (ec) return exchange_failed(step_failure("read", ec));
    if (parser->get().result_int() / 100 == 1) {
        parser.emplace();
        parser->header_limit(8192);
        parser->body_limit(kBodyLimit);
        return read_header();
    }
    if (parser->content_length().value_or(0) > kBodyLimit)
        return exchange_failed(step_failure("read", http::error::body_limit));
    http::async_read(stream, buffer, *parser,
                     [self = shared_from_this()](error_code e, std::size_t) { self->on_read(e); });
}

void KeptConnection::on_read(error_code ec) {
    if (!carries_call(current)) return;
    if (ec) return exchange_failed(step_failure("read", ec));
    if (parser->get().body().size() > kBodyLimit)
        return exchange_failed(step_failure("read", http::error::body_limit));
    // Bytes past the answer were never asked for: the connection is not trusted further.
    const bool keep = parser->get().keep_alive() && buffer.size() == 0;
    Reply reply = answered(parser->release());
    reply.written_at = job->written_at;
    reply.answered_at = std::chrono::system_clock::now();
    std::shared_ptr<Job> finished = std::move(job);
    finished->on = nullptr;
    reused = true;
    if (keep) {
        become_idle();
    } else {
        close();
        pool.on_lost(*this);
    }
    finished->finish(reply);
}

void KeptConnection::exchange_failed(const std::string& why) {
    std::shared_ptr<Job> failed = std::move(job);
    failed->on = nullptr;
    close();
    pool.on_lost(*this);
    failed->finish(failed->failure(why));
}

void KeptConnection::become_idle() {
    fire(KeptEvent::rest);
    ++idle_turn;
    if (!idle_reading) read_while_idle();
    timer.expires_after(kIdleLimit);
    timer.async_wait([self = shared_from_this(), turn = idle_turn](error_code ec) {
        if (ec || self->current != State::idle || turn != self->idle_turn) return;
        self->close();
        self->pool.on_recycled(*self);
    });
    pool.on_idle(*this);
}

// An idle connection is read all the same: TLS records the server sends after its handshake
// (TLS 1.3 session tickets) are taken in on the way, and anything that completes the read
// while idle is the server's close (or bytes never asked for): the connection is gone. When a
// request goes out meanwhile, this read is the first read of its answer.
void KeptConnection::read_while_idle() {
    idle_reading = true;
    stream.async_read_some(buffer.prepare(4096),
                           [self = shared_from_this()](error_code ec, std::size_t bytes) {
                               self->on_idle_read(ec, bytes);
                           });
}

void KeptConnection::on_idle_read(error_code ec, std::size_t bytes) {
    idle_reading = false;
    buffer.commit(bytes);
    if (current == State::idle) {
        close();
        pool.on_lost(*this);
    } else if (carries_call(current)) {
        if (ec && bytes == 0) return exchange_failed(step_failure("read", ec));
        read_answer();
    }
}

// Bytes or a close waiting on the socket of an idle connection, not yet taken in by its read:
// the server's close, or something the connection cannot be trusted with a request after.
bool KeptConnection::server_closed() const {
    char byte = 0;
    const int fd = const_cast<Stream&>(stream).next_layer().native_handle();
    const ssize_t seen = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return !(seen < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
}

void KeptConnection::abort() {
    if (job) job->on = nullptr;
    job = nullptr;
    close();
}

void KeptConnection::close() {
    if (!fire(KeptEvent::close)) return;
    ++idle_turn;
    timer.cancel();
    resolver.cancel();
    // Closed without a TLS close: the session stays resumable all the same.
    SSL_set_shutdown(stream.native_handle(), SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
    error_code ignored;
    stream.next_layer().close(ignored);
}

bool KeptConnection::fire(KeptEvent event) {
    const std::optional<State> next = kept_transition(current, event);
    if (!next) return false;
    current = *next;
    return true;
}

}  // namespace corvane::https
