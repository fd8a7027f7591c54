#include "mexc/signed_rest.hpp"

#include <chrono>
#include <stdexcept>

#include "core/text/output.hpp"
#include "mexc/rest_signing.hpp"

namespace corvane::mexc {
namespace {

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

https::Reply not_sent(const std::string& why) {
    https::Reply reply;
    reply.failure = why;
    return reply;
}

}  // namespace

https::Request signed_request(const std::string& method, const std::string& target,
                              const std::string& key, const std::string& secret, ParamMap params,
                              std::int64_t timestamp_ms) {
    // A value with CR, LF or NUL could smuggle headers of its own.
    if (key.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        throw std::invalid_argument("API key contains CR, LF or NUL");
    }
    SignedParams signed_params = sign_params(std::move(params), secret, timestamp_ms);
    https::Request request{method,
                           target,
                           {{"X-MEXC-APIKEY", key}, {"Content-Type", "application/json"}},
                           std::move(signed_params.body)};
    if (method == "GET") {  // a GET carries its parameters in the query
        request.target += "?" + request.body;
        request.body.clear();
    }
    return request;
}

https::Reply send_signed(const https::Endpoint& endpoint, const std::string& method,
                         const std::string& target, const std::string& key,
                         const std::string& secret, ParamMap params, std::int64_t offset_ms) {
    try {
        return https::send(endpoint, signed_request(method, target, key, secret,
                                                    std::move(params), now_ms() + offset_ms));
    } catch (const std::invalid_argument& e) {
        return not_sent(e.what());
    }
}

std::unique_ptr<https::Pending> start_signed(RunLoop& loop, const https::Endpoint& endpoint,
                                             const std::string& method, const std::string& target,
                                             const std::string& key, const std::string& secret,
                                             ParamMap params, https::Done done,
                                             std::int64_t offset_ms) {
    https::Request request;
    try {
        request =
            signed_request(method, target, key, secret, std::move(params), now_ms() + offset_ms);
    } catch (const std::invalid_argument& e) {
        // Reported from the loop, like any other failure.
        loop.post([done, why = std::string(e.what())] { done(not_sent(why)); });
        return nullptr;
    }
    return loop.rest(endpoint, request, std::move(done));
}

std::string send_signed_request(const https::Endpoint& endpoint, const std::string& method,
                                const std::string& target, const std::string& key,
                                const std::string& secret, ParamMap params,
                                std::int64_t offset_ms) {
    const https::Reply reply =
        send_signed(endpoint, method, target, key, secret, std::move(params), offset_ms);
    if (reply.outcome == https::Reply::Outcome::answered) return reply.body;
    print_line(Stream::err, "Error: " + reply.failure);
    return std::string();
}

}  // namespace corvane::mexc
