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
#include "core/rest/https/job_state.hpp"
#include "core/rest/https_client.hpp"

namespace corvane::https {

class KeptConnection;

struct Job {
    Job(Endpoint endpoint, HttpRequest request, Done report)
        : endpoint(std::move(endpoint)), request(std::move(request)), report(std::move(report)) {}

    // Reports `reply` unless the job has finished already; the job is done from then on.
    void finish(const Reply& reply) {
        if (!fire(JobEvent::finish)) return;
        if (deadline) deadline->cancel();
        Done callback = std::move(report);
        report = nullptr;
        if (callback) callback(reply);
    }

    // Why it failed, as a reply: unknown once its bytes may have left, else not sent.
    Reply failure(const std::string& why) const {
        Reply reply;
        reply.outcome = written() ? Reply::Outcome::unknown : Reply::Outcome::not_sent;
        reply.failure = why;
        return reply;
    }

    const Endpoint endpoint;
    const HttpRequest request;
    Done report;
    std::optional<boost::asio::steady_timer> deadline;  // the call's whole time bound
    KeptConnection* on = nullptr;        // the connection holding it, if any
    std::chrono::system_clock::time_point written_at{};  // when, the last time

    // Moves on `event` (job_state.hpp); false, the state unchanged, when it has no row.
    bool fire(JobEvent event) {
        const std::optional<JobState> next = job_transition(state, event);
        if (!next) return false;
        state = *next;
        return true;
    }
    // Its bytes have been handed to a connection.
    bool written() const { return state == JobState::sent || state == JobState::sent_again; }
    // It failed once before it could leave.
    bool retried() const {
        return state == JobState::waiting_again || state == JobState::sent_again;
    }
    bool done() const { return state == JobState::done; }

private:
    JobState state = JobState::waiting;
};

}  // namespace corvane::https
