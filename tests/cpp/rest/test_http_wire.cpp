// HTTP/1.1 on the wire: the request as written, and every form of answer a server may send,
// read as the REST client reads it (answers scripted byte for byte by the simulator).

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "core/rest/https/http_wire.hpp"
#include "core/rest/https_client.hpp"
#include "core/text/hex.hpp"
#include "sim_process.hpp"

namespace corvane {
namespace {

using std::chrono::milliseconds;

TEST(HttpRequestText, HostAgentHeadersAndALengthWhereABodyMayBe) {
    EXPECT_EQ(https::wire_text({"h.example"}, {"GET", "/a?b=1", {{"X-K", "v"}}, ""}),
              "GET /a?b=1 HTTP/1.1\r\nHost: h.example\r\nUser-Agent: Boost.Beast\r\nX-K: v\r\n\r\n");
    // A POST with no body still says so: some servers answer 411 to one without a length.
    EXPECT_EQ(https::wire_text({"h.example"}, {"POST", "/o", {}, ""}),
              "POST /o HTTP/1.1\r\nHost: h.example\r\nUser-Agent: Boost.Beast\r\n"
              "Content-Length: 0\r\n\r\n");
    EXPECT_EQ(https::wire_text({"h.example"}, {"PUT", "/o", {}, "é=1"}),
              "PUT /o HTTP/1.1\r\nHost: h.example\r\nUser-Agent: Boost.Beast\r\n"
              "Content-Length: 4\r\n\r\né=1");
}

TEST(HttpRequestText, UnknownMethodsAndSmuggledLinesAreRefused) {
    const auto refused = [](const https::Endpoint& endpoint, const https::Request& request) {
        try {
            https::wire_text(endpoint, request);
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    // The client reads every answer as having a body, so a HEAD is never sent.
    EXPECT_EQ(refused({"h"}, {"HEAD", "/", {}, ""}), "unsupported HTTP method HEAD");
    EXPECT_EQ(refused({"h"}, {"get", "/", {}, ""}), "unsupported HTTP method get");
    EXPECT_EQ(refused({"h\r\nX: 1"}, {"GET", "/", {}, ""}), "host contains CR, LF or NUL");
    EXPECT_EQ(refused({"h"}, {"GET", "/", {{"A\nB", "v"}}, ""}),
              "header name contains CR, LF or NUL");
    EXPECT_EQ(refused({"h"}, {"GET", "/", {{"K", std::string("v\0w", 3)}}, ""}),
              "K contains CR, LF or NUL");
}

TEST(HttpAnswerText, RetryAfterInSecondsOrAsAnHttpDate) {
    const auto now = std::chrono::system_clock::from_time_t(784111770);  // 06 Nov 1994 08:49:30
    EXPECT_EQ(https::retry_after_of("7", now), 7.0);
    EXPECT_EQ(https::retry_after_of("0.5", now), 0.5);
    EXPECT_EQ(https::retry_after_of("Sun, 06 Nov 1994 08:49:37 GMT", now), 7.0);
    EXPECT_EQ(https::retry_after_of("Sunday, 06-Nov-94 08:49:37 GMT", now), 7.0);
    EXPECT_EQ(https::retry_after_of("Sun Nov  6 08:49:37 1994", now), 7.0);
    EXPECT_EQ(https::retry_after_of("Sun, 06 Nov 1994 08:49:00 GMT", now), 0.0);  // past: now
    for (const char* unreadable : {"", ".", "1.2.3", "soon", "Sun, 06 Nov 1994 08:49:37"})
        EXPECT_EQ(https::retry_after_of(unreadable, now), std::nullopt) << unreadable;
}

TEST(HttpAnswerText, AWholeAnswerGivesItsStatusBodyAndRetryAfter) {
    https::HttpResponse response{boost::beast::http::status::too_many_requests, 11};
    response.set("retry-after", "3");
    response.body() = R"({"code":429})";
    const https::Reply reply = https::answered(std::move(response));
    EXPECT_EQ(reply.outcome, https::Reply::Outcome::answered);
    EXPECT_EQ(reply.status, 429u);
    EXPECT_EQ(reply.body, R"({"code":429})");
    EXPECT_EQ(reply.retry_after, 3.0);
    EXPECT_FALSE(reply.succeeded());
}

class HttpAnswers : public testing::RestSimulatorTest {
protected:
    // One call answered with `raw` as it stands: its first `split` bytes in a TLS record of
    // their own (so the client reads them apart from the rest), the connection closed after it
    // if `close`.
    https::Reply answered_with(const std::string& raw, std::size_t split = 0, bool close = false) {
        sim->post("/rest-answer?answer=" + to_hex(raw, HexCase::lower) +
                  "&split=" + std::to_string(split) + (close ? "&close=1" : ""));
        return https::send(sim->rest(milliseconds(3000)), {"GET", "/api/v3/time", {}, ""});
    }

    int handshakes() const { return sim->get("/rest")["handshakes"]; }
};

const std::string kPlain = "HTTP/1.1 201 Created\r\nretry-after: 3\r\nContent-Length: 11\r\n\r\n"
                           "hello world";
// Chunk extensions, an upper-case size and a trailer, all of which a server may send.
const std::string kChunked =
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nX-Other: 1\r\n\r\n"
    "5;name=value\r\nhello\r\n6\r\n world\r\nA\r\n, and more\r\n0\r\nX-Trailer: t\r\n\r\n";
// An interim answer, then the answer.
const std::string kAfterContinue = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n"
                                   "Content-Length: 2\r\n\r\nok";

TEST_F(HttpAnswers, StatusHeadersAndBodyAreRead) {
    const auto plain = answered_with(kPlain);
    EXPECT_EQ(plain.outcome, https::Reply::Outcome::answered) << plain.failure;
    EXPECT_EQ(plain.status, 201u);
    EXPECT_EQ(plain.body, "hello world");
    EXPECT_EQ(plain.retry_after, 3.0);
    const auto chunked = answered_with(kChunked);
    EXPECT_EQ(chunked.status, 200u) << chunked.failure;
    EXPECT_EQ(chunked.body, "hello world, and more");
    const auto odd = answered_with("HTTP/1.1 418 I'm a teapot\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(odd.outcome, https::Reply::Outcome::answered) << odd.failure;
    EXPECT_EQ(odd.status, 418u);
    EXPECT_EQ(odd.body, "");
    EXPECT_EQ(handshakes(), 1);
}

// However the answer is cut into reads, the same reply comes back, and the connection is kept.
TEST_F(HttpAnswers, AnAnswerSplitAtEveryByteReadsTheSame) {
    for (const std::string* raw : {&kPlain, &kChunked, &kAfterContinue}) {
        const auto whole = answered_with(*raw);
        ASSERT_EQ(whole.outcome, https::Reply::Outcome::answered) << whole.failure;
        for (std::size_t split = 1; split < raw->size(); ++split) {
            const auto reply = answered_with(*raw, split);
            ASSERT_EQ(reply.outcome, https::Reply::Outcome::answered)
                << split << ": " << reply.failure << "\n" << *raw;
            EXPECT_EQ(reply.status, whole.status) << split;
            EXPECT_EQ(reply.body, whole.body) << split;
        }
    }
    EXPECT_EQ(handshakes(), 1);
}

TEST_F(HttpAnswers, KeepAliveKeepsTheConnectionAndCloseEndsIt) {
    const std::string keep = "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Length: 1\r\n\r\na";
    EXPECT_EQ(answered_with(keep).body, "a");
    EXPECT_EQ(answered_with(keep).body, "a");
    EXPECT_EQ(handshakes(), 1);
    const auto closing =
        answered_with("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 1\r\n\r\nb");
    EXPECT_EQ(closing.body, "b") << closing.failure;
    EXPECT_EQ(answered_with(keep).body, "a");
    EXPECT_EQ(handshakes(), 2);
    // HTTP/1.0 closes unless it says otherwise.
    const auto old = answered_with("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nc");
    EXPECT_EQ(old.body, "c") << old.failure;
    EXPECT_EQ(answered_with(keep).body, "a");
    EXPECT_EQ(handshakes(), 3);
}

// 204 and 304 have no body whatever their headers say: the next answer on the same connection
// is read as the next answer.
TEST_F(HttpAnswers, NoBodyAfter204Or304) {
    for (const char* raw : {"HTTP/1.1 204 No Content\r\n\r\n",
                            "HTTP/1.1 304 Not Modified\r\nContent-Length: 10\r\n\r\n"}) {
        const auto empty = answered_with(raw);
        EXPECT_EQ(empty.outcome, https::Reply::Outcome::answered) << raw << empty.failure;
        EXPECT_EQ(empty.body, "") << raw;
        const auto next = answered_with(kPlain);
        EXPECT_EQ(next.body, "hello world") << raw << next.failure;
    }
    EXPECT_EQ(handshakes(), 1);
}

// Bytes past the answer were never asked for: the reply stands, the connection is not used again.
TEST_F(HttpAnswers, BytesPastTheAnswerEndTheConnection) {
    const auto reply = answered_with("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokHTTP/1.1 200 OK");
    EXPECT_EQ(reply.body, "ok") << reply.failure;
    EXPECT_EQ(answered_with(kPlain).body, "hello world");
    EXPECT_EQ(handshakes(), 2);
}

// An answer whose end is the connection's (TLS) close.
TEST_F(HttpAnswers, ABodyEndedByTheClose) {
    const auto reply = answered_with("HTTP/1.1 200 OK\r\n\r\nuntil the end", 0, true);
    EXPECT_EQ(reply.outcome, https::Reply::Outcome::answered) << reply.failure;
    EXPECT_EQ(reply.body, "until the end");
    EXPECT_EQ(answered_with(kPlain).body, "hello world");
}

TEST_F(HttpAnswers, OversizeHeadersAreAFailure) {
    const auto reply = answered_with("HTTP/1.1 200 OK\r\nX-Pad: " + std::string(9000, 'x') +
                                     "\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_EQ(reply.outcome, https::Reply::Outcome::unknown);
    EXPECT_EQ(reply.failure, "read: header limit exceeded");
    EXPECT_EQ(answered_with(kPlain).body, "hello world");  // on a new connection
}

// A body announced past 8 MiB, by its length or by a chunk's, is refused when announced: the
// call does not wait for (or hold) bytes it will not take.
TEST_F(HttpAnswers, AnOversizeBodyIsRefusedWhenAnnounced) {
    for (const char* raw : {"HTTP/1.1 200 OK\r\nContent-Length: 8388609\r\n\r\n{",
                            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n800001\r\n{"}) {
        const auto reply = answered_with(raw);
        EXPECT_EQ(reply.outcome, https::Reply::Outcome::unknown) << raw;
        EXPECT_EQ(reply.failure, "read: body limit exceeded") << raw;
    }
    EXPECT_EQ(answered_with(kPlain).body, "hello world");
}

// What is not HTTP is never taken for an answer: the call's outcome is unknown (the request
// went out) and the connection is replaced.
TEST_F(HttpAnswers, MalformedAnswersAreFailures) {
    const std::vector<std::string> malformed = {
        "NOT HTTP AT ALL\r\n\r\n",
        "HTTP/1.1 2000 OK\r\nContent-Length: 0\r\n\r\n",
        "HTTP/1.1 200 OK\r\nno colon here\r\nContent-Length: 0\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nok",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nok\r\n0\r\n\r\n",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nokX\r\n0\r\n\r\n",
    };
    for (const auto& raw : malformed) {
        const auto reply = answered_with(raw);
        EXPECT_EQ(reply.outcome, https::Reply::Outcome::unknown) << raw;
        EXPECT_EQ(reply.failure.rfind("read: ", 0), 0u) << raw << " -> " << reply.failure;
        EXPECT_EQ(answered_with(kPlain).body, "hello world") << raw;
    }
    EXPECT_EQ(handshakes(), 1 + static_cast<int>(malformed.size()));
}

}  // namespace
}  // namespace corvane
