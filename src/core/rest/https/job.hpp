#pragma once
// Job: one REST call on its way through a host's kept-alive connections (host_pool.hpp), from
// the moment it is handed to the REST thread until its reply is reported. Made by the caller,
// used on the REST thread only.

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/rest/https/http_wire.hpp"
#include "core/rest/https_client.hpp"

namespace corvane::https {

class KeptConnection;

struct Job {
    Job(Endpoint endpoint, HttpRequest request, Done report)
        : endpoint(std::move(endpoint)), request(std::move(request)), report(std::move(report)) {}

    // Reports `reply` unless the job has finished already; the job is done from then on.
    void finish(const Reply& reply) {
        if (done) return;
        done = true;
        if (deadline) deadline->cancel();
        Done callback = std::move(report);
        report = nullptr;
        if (callback) callback(reply);
    }

    // Why it failed, as a reply: unknown once its bytes may have left, else not sent.
    Reply failure(const std::string& why) const {
        Reply reply;
        reply.outcome = written ? Reply::Outcome::unknown : Reply::Outcome::not_sent;
        reply.failure = why;
        return reply;
    }

    const Endpoint endpoint;
    const HttpRequest request;
    Done report;
    std::optional<boost::asio::steady_timer> deadline;  // the call's whole time bound
    KeptConnection* on = nullptr;        // the connection holding it, if any
    bool written = false;                // its bytes have been handed to a connection
    std::chrono::system_clock::time_point written_at{};  // when, the last time
    bool retried = false;                // it failed once before it could leave
    bool done = false;
};

}  // namespace corvane::https
