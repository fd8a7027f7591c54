#include "sim_process.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <thread>

namespace corvane::testing {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = boost::asio::ip::tcp;

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

// Reads one line from `fd`, waiting at most until `deadline`.
std::string read_line(int fd, std::chrono::steady_clock::time_point deadline) {
    std::string line;
    char ch = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0) continue;
        if (read(fd, &ch, 1) != 1) break;
        if (ch == '\n') return line;
        line += ch;
    }
    throw std::runtime_error("simulator did not report ready: '" + line + "'");
}

}  // namespace

SimProcess::SimProcess() {
    const std::string python = env("CORVANE_SIM_PYTHON");
    const std::string source = env("CORVANE_SOURCE_DIR");
    const std::string ca_file =
        std::string(::testing::TempDir()) + "corvane-sim-ca-" + std::to_string(getpid()) + ".pem";
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    const pid_t parent = getpid();
    pid = fork();
    if (pid == 0) {
        // A test binary killed by a time-out must not leave its simulator running.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        if (chdir(source.c_str()) != 0) _exit(127);
        execl(python.c_str(), python.c_str(), "-m", "corvane_ws.sim", "--rate", "0", "--control-port", "0",
              "--ca-file", ca_file.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    const auto ready = nlohmann::json::parse(
        read_line(out[0], std::chrono::steady_clock::now() + std::chrono::seconds(30)));
    close(out[0]);
    ws_port = ready.at("ws_port");
    rest_port = ready.at("rest_port");
    control_port = ready.at("control_port");
    setenv("SSL_CERT_FILE", ca_file.c_str(), 1);
}

SimProcess::~SimProcess() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 500 && waitpid(pid, nullptr, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

std::string SimProcess::ws_url(const std::string& path) const {
    return "wss://localhost:" + std::to_string(ws_port) + path;
}

https::Endpoint SimProcess::rest(std::chrono::milliseconds timeout) const {
    return https::Endpoint{"localhost", std::to_string(rest_port), timeout};
}

nlohmann::json SimProcess::get(const std::string& target) const {
    return call("GET", target);
}
nlohmann::json SimProcess::post(const std::string& target) const {
    return call("POST", target);
}

nlohmann::json SimProcess::call(const char* method, const std::string& target) const {
    boost::asio::io_context ioc;
    beast::tcp_stream stream(ioc);
    http::request<http::string_body> req{http::string_to_verb(method), target, 11};
    req.set(http::field::host, "127.0.0.1");
    req.prepare_payload();
    http::response<http::string_body> res;
    beast::flat_buffer buffer;
    beast::error_code failure;
    stream.expires_after(std::chrono::seconds(5));
    stream.async_connect(
        tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"),
                      static_cast<unsigned short>(control_port)),
        [&](beast::error_code ec) {
            if ((failure = ec)) return;
            http::async_write(stream, req, [&](beast::error_code ec2, std::size_t) {
                if ((failure = ec2)) return;
                http::async_read(stream, buffer, res,
                                 [&](beast::error_code ec3, std::size_t) { failure = ec3; });
            });
        });
    ioc.run_for(std::chrono::seconds(6));
    if (failure) throw std::runtime_error("simulator control: " + failure.message());
    return nlohmann::json::parse(res.body());
}

SimProcess* shared_sim() {
    static std::unique_ptr<SimProcess> sim = [] {
        return env("CORVANE_SIM_PYTHON").empty() ? nullptr : std::make_unique<SimProcess>();
    }();
    return sim.get();
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::optional<InboundMessage> take_data(BaseExchangeConnector& c, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        auto message = c.take(std::max(left, std::chrono::milliseconds(0)));
        if (!message || message->kind == InboundMessage::Kind::message) return message;
    }
}

}  // namespace corvane::testing
