// OkxConnector's account-wide REST calls (Python threads): the dead-man switch, the pending
// orders, and the signed POSTs they take; and the clock offset its stats show.

#include "core/rest/request_errors.hpp"
#include "core/stream/clock_watch.hpp"
#include "okx/okx_account_rest.hpp"
#include "okx/okx_answers.hpp"
#include "okx/okx_connector.hpp"
#include "okx/okx_rest.hpp"

namespace corvane {

std::string OkxConnector::cancel_all_after(int seconds) {
    require_private("cancel_all_after");
    // OKX takes 0 (off) or 10 to 120 seconds.
    if (seconds != 0 && (seconds < 10 || seconds > 120)) {
        throw std::invalid_argument("cancel_all_after takes 0 or 10 to 120 seconds");
    }
    DeadManPeriod::ProgramCall call(dead_man, seconds, queue().reads());
    std::string reply = post(okx::kCancelAllAfterPath, okx::cancel_all_after_body(seconds));
    if (cancel_all_after_accepted(reply)) call.accepted();
    return reply;
}

std::string OkxConnector::open_orders(const ParamMap& params) {
    require_private("open_orders");
    const std::string target = okx::pending_orders_target(params);
    return signed_call([&](const std::string& timestamp, bool demo) {
        return okx::signed_get(target, credentials, demo, timestamp);
    });
}

std::string OkxConnector::post(const std::string& target, const std::string& body) {
    return signed_call([&](const std::string& timestamp, bool demo) {
        return okx::signed_post(target, body, credentials, demo, timestamp);
    });
}

// A timestamp OKX refused (50102) says the clock offset is off: it is measured again at once,
// so that the caller's next call is signed by OKX's clock, not one ten minutes old.
std::string OkxConnector::signed_call(const SignedRequest& request) {
    bool demo_trading = false;
    const https::Endpoint endpoint = rest_endpoint(&demo_trading);
    measure_clock_once(clock, endpoint, okx::time_request());
    const https::Reply reply =
        https::send(endpoint, request(okx::rest_timestamp(clock.now()), demo_trading));
    if (reply.outcome == https::Reply::Outcome::answered &&
        okx::code_in(reply.body) == okx::kTimestampExpired) {
        clock.distrust();
        measure_clock(clock, endpoint, okx::time_request());
    }
    return okx::documented_answer(reply);
}

std::unique_ptr<https::Pending> OkxConnector::start_post(RunLoop& loop, const std::string& target,
                                                         std::string body, https::Done done) {
    bool demo_trading = false;
    const https::Endpoint endpoint = rest_endpoint(&demo_trading);
    return loop.rest(endpoint,
                     okx::signed_post(target, body, credentials, demo_trading,
                                      okx::rest_timestamp(clock.now())),
                     std::move(done));
}

BaseExchangeConnector::Stats OkxConnector::stats() {
    Stats s = WebSocketConnector::stats();
    s.clock_offset_ms = clock.offset();
    return s;
}

}  // namespace corvane
