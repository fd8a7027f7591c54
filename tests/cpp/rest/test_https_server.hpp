#pragma once
// A scripted HTTPS server on loopback for the REST client's tests, under a test CA made at test
// time (trusted through SSL_CERT_FILE). It answers each request by its script, counts the
// connections and requests it saw, and lets a test wait (boundedly) for a count. It runs on a
// thread of its own, joined by its destructor.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace corvane::testing {

class HttpsServer {
public:
    // What the server does with one request.
    enum class Answer {
        keep,         // 200, kept alive
        close,        // 200 with "Connection: close", then the connection is closed
        then_drop,    // 200, kept alive by its headers, then the connection is closed
        drop,         // no answer: the connection is closed
        hold,         // answered (keep) once release() is called
    };
    // Called for each request: its connection (from 1) and its target.
    using Script = std::function<Answer(int connection, const std::string& target)>;

    explicit HttpsServer(Script script);
    ~HttpsServer();

    unsigned short port() const { return listen_port; }

    enum class Count { connections, requests, closed /* connections it closed */ };
    int count(Count which) const;
    // Waits until the count reaches `at_least`, at most `bound`; false if it did not.
    bool wait_for(Count which, int at_least,
                  std::chrono::milliseconds bound = std::chrono::seconds(10)) const;
    // Held requests are answered.
    void release();

private:
    struct Connection;
    void accept();
    void bump(int& counter);
    int value(Count which) const;  // caller holds mtx

    Script script;
    std::optional<std::string> trusted_before;  // SSL_CERT_FILE before, put back at the end
    boost::asio::io_context io;
    boost::asio::ssl::context tls;
    boost::asio::ip::tcp::acceptor acceptor;
    unsigned short listen_port = 0;
    mutable std::mutex mtx;  // guards the counts and `released`
    mutable std::condition_variable changed;
    int connection_count = 0;
    int request_count = 0;
    int closed_count = 0;
    bool released = false;
    std::function<void()> on_release;  // server thread only
    std::thread thread;
};

}  // namespace corvane::testing
