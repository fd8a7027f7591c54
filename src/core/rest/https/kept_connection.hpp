#pragma once
// KeptConnection: one verified TLS connection to a REST host, kept open between calls (HTTP/1.1
// keep-alive) and carrying one request at a time. Its pool (host_pool.hpp) decides what it
// carries; it tells the pool when it is free or gone. REST thread only.
//
// Its states and their table: kept_state.hpp; what each event means here:
//
//   state    event                                  next     what happens
//   opening  handshake done, a job held             busy     the job's request is written
//   opening  handshake done, none held              idle     watched for the server's close
//   opening  failure or open deadline               closed   the pool fails the job it held
//   idle     take, the socket quiet                 busy     the request is written
//   idle     take, the server has closed            closed   the job goes to another connection
//   idle     server closes (or sends anything)      closed   the next call opens a new one
//   idle     idle limit reached                     closed   a warm pool opens a new one
//   busy     request written                        answering  the answer is read
//   answering whole answer, keep-alive              idle     the job's reply reported
//   answering whole answer, "Connection: close"     closed   the job's reply reported
//   busy     write fails before any byte left       closed   the job retried once, elsewhere
//   busy     any other failure                      closed   the job: outcome unknown
//   any      abort (the job's deadline, shutdown)   closed   nothing reported by it

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "core/rest/https/job.hpp"
#include "core/rest/https/kept_state.hpp"

namespace corvane::https {

class HostPool;

class KeptConnection : public std::enable_shared_from_this<KeptConnection> {
public:
    using State = KeptState;

    KeptConnection(boost::asio::io_context& loop, HostPool& pool, const Endpoint& endpoint,
                   const std::string& host_port);

    State state() const { return current; }
    bool holds_job() const { return job != nullptr; }

    // opening: resolve, connect, handshake, each bounded by the endpoint's time-out.
    void open(std::shared_ptr<Job> held);
    // opening, none held: the job it carries once open.
    void attach(std::shared_ptr<Job> held);
    // opening: lets go of its job (whose deadline passed); it still opens.
    void detach();
    // idle: carries `next` if the server has not closed the connection; false (and closed)
    // otherwise, with `next` untouched.
    bool take(std::shared_ptr<Job> next);
    // Closes it at once; the job it holds is the caller's to report.
    void abort();

private:
    using Stream = boost::asio::ssl::stream<boost::asio::ip::tcp::socket>;
    using Parser = boost::beast::http::response_parser<boost::beast::http::string_body>;

    void on_resolve(boost::system::error_code ec,
                    const boost::asio::ip::tcp::resolver::results_type& results);
    void on_connect(boost::system::error_code ec);
    void on_handshake(boost::system::error_code ec);
    void opening_failed(const std::string& why);

    void send();
    void on_write(boost::system::error_code ec, std::size_t bytes);
    void read_answer();
    void read_header();
    void on_header(boost::system::error_code ec);
    void on_read(boost::system::error_code ec);
    void exchange_failed(const std::string& why);

    void become_idle();
    void read_while_idle();
    void on_idle_read(boost::system::error_code ec, std::size_t bytes);
    bool server_closed() const;
    void close();
    bool fire(KeptEvent event);

    HostPool& pool;
    const Endpoint endpoint;
    const std::string& host_port;  // the pool's
    boost::asio::ip::tcp::resolver resolver;
    std::shared_ptr<boost::asio::ssl::context> tls;  // held for the stream's life
    Stream stream;
    boost::asio::steady_timer timer;  // opening: the open deadline; idle: the idle limit
    boost::beast::flat_buffer buffer;
    std::optional<Parser> parser;
    std::shared_ptr<Job> job;
    State current = State::opening;
    unsigned idle_turn = 0;     // which idle spell a timer belongs to
    bool idle_reading = false;  // a read started while idle is under way (a socket operation)
    bool reused = false;        // it has carried a whole exchange before
};

}  // namespace corvane::https
