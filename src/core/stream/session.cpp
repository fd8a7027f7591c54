#include "core/stream/session.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <stdexcept>

#include "core/rest/request_errors.hpp"
#include "core/stream/feed.hpp"
#include "core/text/output.hpp"
#include "core/text/utf8_check.hpp"
#include "core/transport/tls_context.hpp"

namespace corvane {
namespace {

using websocketpp::session::state::value;
namespace ws_state = websocketpp::session::state;

// "10", "0.25": a time in seconds as few digits as it takes.
std::string seconds_text(std::chrono::milliseconds time) {
    std::string text = std::to_string(time.count() / 1000);
    const auto millis = time.count() % 1000;
    if (millis == 0) return text;
    std::string fraction = std::to_string(1000 + millis).substr(1);
    while (fraction.back() == '0')
        fraction.pop_back();
    return text + "." + fraction;
}

// A handshake that timed out: its own words, not the TLS shutdown's that follows it.
bool timed_out(const websocketpp::lib::error_code& ec) {
    namespace socket = websocketpp::transport::asio::socket;
    return ec == socket::make_error_code(socket::error::tls_handshake_timeout) ||
           ec == websocketpp::error::make_error_code(websocketpp::error::open_handshake_timeout) ||
           ec == websocketpp::transport::error::make_error_code(
                     websocketpp::transport::error::timeout);
}

}  // namespace

Session::Session(Feed& feed, std::unique_ptr<ConnectionHandler> handler, std::uint32_t number)
    : feed(feed),
      inbound(feed.inbound()),
      stats(feed.stats()),
      keepalive(feed.keepalive()),
      number(number),
      timer(feed.endpoint().get_io_service()),
      schedule(keepalive),
      run_loop(feed.endpoint().get_io_service(), feed.thread()),
      handler(std::move(handler)) {}

// A read held back for a paused connection holds the connection: dropped, it lets go of it.
Session::~Session() {
    if (paused) std::exchange(paused, nullptr)->get_socket().forget_held_read();
}

void Session::open(const std::string& url) {
    ws_client& endpoint = feed.endpoint();
    websocketpp::lib::error_code ec;
    ws_client::connection_ptr con = endpoint.get_connection(url, ec);
    if (ec) throw std::runtime_error("Connection failed: " + ec.message());
    if (!con) throw std::runtime_error("Connection failed: no connection object");
    if (con->get_host().empty()) throw std::runtime_error("Connection failed: invalid uri");
    // Anything else would be spoken to as TLS on the scheme's plain port.
    if (con->get_uri()->get_scheme() != "wss") {
        throw std::runtime_error("Connection failed: only wss:// URLs are supported");
    }
    try {
        expect_peer_host(con->get_socket().native_handle(), con->get_host());
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("Connection failed: ") + e.what());
    }
    // The connection's own handlers: other connections of the stream share the endpoint.
    con->set_open_handler([this](websocketpp::connection_hdl h) { on_open(h); });
    con->set_close_handler([this](websocketpp::connection_hdl) { on_close(); });
    con->set_fail_handler([this](websocketpp::connection_hdl h) { on_fail(h); });
    con->set_message_handler([this](websocketpp::connection_hdl, ws_client::message_ptr m) {
        on_message(m->get_raw_payload(), m->frame_opcode() == websocketpp::frame::opcode::binary);
    });
    con->set_tcp_post_init_handler([this](websocketpp::connection_hdl h) { set_no_delay(h); });
    con->get_socket().on_read([this] { flush(); });
    endpoint.connect(con);
}

void Session::end_unfinished(const std::string& error) {
    if (!has_ended()) handler->on_ending(*this);
    if (!error.empty()) queue_event(InboundMessage::Kind::error, error);
    // Ended without its close handshake (disconnect() gave up waiting) or before it opened.
    if (takes_sends(state)) {
        queue_event(InboundMessage::Kind::close, "dropped by disconnect()", 1006);
    } else if (!has_ended()) {
        queue_event(InboundMessage::Kind::fail, "given up by disconnect()");
    }
}

boost::asio::io_context& Session::io() {
    return feed.endpoint().get_io_service();
}

const ThreadOwner& Session::thread() const {
    return feed.thread();
}

ws_client::connection_ptr Session::connection() {
    websocketpp::lib::error_code ec;
    return feed.endpoint().get_con_from_hdl(hdl, ec);
}

// ---- any thread ----

bool Session::is_open() {
    std::lock_guard<std::mutex> lock(send_mtx);
    return takes_sends(state);
}

SessionState Session::go(SessionEvent event) {
    const SessionState before = state;
    const auto next = session_transition(state, event);
    if (!next) return before;
    std::lock_guard<std::mutex> lock(send_mtx);
    state = *next;
    return before;
}

void Session::send_text(const std::string& text) {
    std::lock_guard<std::mutex> lock(send_mtx);
    send_locked(text);
}

void Session::send_locked(const std::string& text) {
    websocketpp::lib::error_code ec;
    ws_client::connection_ptr con = feed.endpoint().get_con_from_hdl(hdl, ec);
    if (!ec) {
        ws_client::message_ptr msg =
            con->get_message(websocketpp::frame::opcode::text, text.size());
        msg->mark_outbound();
        msg->append_payload(text);
        ec = con->send(msg);
    }
    if (ec) throw RequestNotSent("Send failed: " + ec.message());  // the frame was not queued
}

void Session::send_json(const nlohmann::json& value) {
    send_text(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict));
}

bool Session::send_if_open(const nlohmann::json& value) {
    const std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    std::lock_guard<std::mutex> lock(send_mtx);
    if (!takes_sends(state)) return false;
    send_locked(text);
    return true;
}

void Session::send_request(const nlohmann::json& value) {
    const std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    std::lock_guard<std::mutex> lock(send_mtx);
    send_counted(text);
}

bool Session::send_request_if_open(const nlohmann::json& value) {
    const std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    std::lock_guard<std::mutex> lock(send_mtx);
    if (!takes_sends(state)) return false;
    send_counted(text);
    return true;
}

void Session::send_counted(const std::string& text) {
    ++requests_out;  // before the send: the answer may be read before send() returns
    try {
        send_locked(text);
    } catch (...) {
        --requests_out;
        throw;
    }
}

// ---- run thread ----

void Session::request_answered() {
    CORVANE_ON_RUN_THREAD(thread());
    // An answer to something not counted (a request with an id made by the exchange's handler)
    // leaves the count as it is.
    std::uint32_t out = requests_out.load();
    while (out > 0 && !requests_out.compare_exchange_weak(out, out - 1)) {
    }
}

void Session::close(std::uint16_t code, const std::string& reason) {
    CORVANE_ON_RUN_THREAD(thread());
    go(SessionEvent::close_asked);
    resume_reading();  // the peer's answer to the close frame has to be read
    ws_client::connection_ptr con = connection();
    const value state = con ? con->get_state() : ws_state::connecting;
    if (state == ws_state::closing) return;  // under way: it ends the connection once complete
    // Frames already handed to send() are queued ahead of the close frame.
    websocketpp::lib::error_code ec;
    if (state == ws_state::open) con->close(code, reason, ec);
    if (state == ws_state::open && !ec) return;
    // Not open yet (it closes as soon as it opens), or already closed: nothing to flush or to
    // wait for.
    feed.on_unwanted(*this);
}

void Session::close(CloseCode code, const std::string& reason) {
    close(static_cast<std::uint16_t>(code), reason);
}

void Session::give_up(const std::string& why) {
    own_reason = why;
    close(websocketpp::close::status::normal, why);
}

// No close handshake: its answer would come behind everything the exchange sent meanwhile.
void Session::close_for_bound(const std::string& why) {
    CORVANE_ON_RUN_THREAD(thread());
    go(SessionEvent::close_asked);
    own_reason = why;
    if (ws_client::connection_ptr con = connection()) {
        con->terminate(websocketpp::transport::error::make_error_code(
            websocketpp::transport::error::action_after_shutdown));
    } else {
        feed.on_unwanted(*this);
    }
}

// The messages before the acknowledgement go ahead of the switch it may bring.
void Session::ready() {
    CORVANE_ON_RUN_THREAD(thread());
    flush();
    feed.on_ready(*this);
}

void Session::replace(const std::string& why, std::chrono::seconds closes_in) {
    CORVANE_ON_RUN_THREAD(thread());
    feed.on_replace(*this, why, closes_in);
}

bool Session::stop_pushes() {
    CORVANE_ON_RUN_THREAD(thread());
    ws_client::connection_ptr con = connection();
    if (!con || con->get_state() != ws_state::open) return false;
    return handler->stop_pushes(*this);
}

// Everything before the answer is delivered first.
void Session::drained() {
    CORVANE_ON_RUN_THREAD(thread());
    flush();
    feed.on_drained(*this);
}

void Session::deliver(std::string& payload, bool binary) {
    CORVANE_ON_RUN_THREAD(thread());
    // One clock read per network read: its messages were complete within microseconds.
    if (read_ns == 0) {
        read_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
    }
    InboundMessage& message = pending.emplace_back();
    message.payload = std::move(payload);
    message.recv_ns = read_ns;
    message.connection = number;
    message.binary = binary;
    message.ascii = !binary && ascii_in_flight;
}

void Session::deliver_now(std::string& payload, bool binary) {
    deliver(payload, binary);
    flush();
}

bool Session::send_request_on_stream(const nlohmann::json& value) {
    CORVANE_ON_RUN_THREAD(thread());
    return feed.send_request_if_open(value);
}

void Session::flush() {
    read_ns = 0;
    if (!pending.empty()) feed.accept(*this, pending);
}

// A paused connection's next read waits in its stream (TlsStream::hold_reads); the session
// holds the connection meanwhile. One that is closing reads on: the peer's answer to its close
// must come in.
void Session::pause_reading() {
    ws_client::connection_ptr con = connection();
    if (!con || paused || state == SessionState::closing || con->get_state() != ws_state::open) {
        return;
    }
    con->get_socket().hold_reads();
    paused = std::move(con);
}

void Session::resume_reading() {
    CORVANE_ON_RUN_THREAD(thread());
    if (paused) std::exchange(paused, nullptr)->get_socket().release_reads();
}

void Session::queue_event(InboundMessage::Kind kind, std::string reason, std::int32_t code,
                          bool by_peer) {
    flush();  // the connection's messages before its end
    if (kind != InboundMessage::Kind::open && go(SessionEvent::ended) == SessionState::ended) {
        return;
    }
    InboundMessage event;
    event.kind = kind;
    event.payload = std::move(reason);
    event.recv_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    event.connection = number;
    event.code = code;
    event.by_peer = by_peer;
    if (kind == InboundMessage::Kind::fail || kind == InboundMessage::Kind::error ||
        (kind == InboundMessage::Kind::close && code != 1000)) {
        stats.set_last_error(event.payload.empty() ? "close " + std::to_string(code)
                                                   : event.payload);
    }
    feed.queue_event(*this, std::move(event));
}

void Session::on_open(const websocketpp::connection_hdl& handle) {
    CORVANE_ON_RUN_THREAD(thread());
    {
        std::lock_guard<std::mutex> lock(send_mtx);
        hdl = handle;  // before the state: whoever sees the session open may send
    }
    const bool unwanted = go(SessionEvent::opened) == SessionState::unwanted;
    stats.opened.fetch_add(1);
    queue_event(InboundMessage::Kind::open, "");
    if (unwanted) return close(websocketpp::close::status::normal, "");
    handler->on_open(*this);
    // The keep-alive starts after the exchange's opening frames, which therefore go first.
    if (schedule.start(arrivals)) ping();
    arm_timer();
    feed.on_opened(*this);
}

void Session::on_message(std::string& payload, bool binary) {
    CORVANE_ON_RUN_THREAD(thread());
    ++arrivals;
    const Utf8 text = binary ? Utf8::multibyte : check_utf8(payload);
    // The protocol's answer to a text frame that is not UTF-8: close with 1007, drop the frame.
    if (text == Utf8::invalid)
        return close(websocketpp::close::status::invalid_payload, "Invalid UTF8");
    ascii_in_flight = text == Utf8::ascii;
    if (pongs_expected > 0 && !binary && payload == keepalive.pong_text) {
        --pongs_expected;
        return;
    }
    handler->on_message(*this, payload, binary);
}

// Its ending event goes first: from then on it takes no sends.
void Session::on_close() {
    CORVANE_ON_RUN_THREAD(thread());
    ws_client::connection_ptr con = connection();
    const auto code = con ? static_cast<std::int32_t>(con->get_remote_close_code()) : 1006;
    const bool by_peer = state == SessionState::open;
    handler->on_ending(*this);
    queue_event(InboundMessage::Kind::close, close_reason(con), code, by_peer);
    timer.cancel();
    handler->on_closed(*this);
    if (paused) std::exchange(paused, nullptr)->get_socket().forget_held_read();
    feed.on_ended(*this);
}

// The peer's close reason; for a connection that ended without one, what ended it.
std::string Session::close_reason(const ws_client::connection_ptr& con) {
    if (!own_reason.empty()) return own_reason;
    if (!con) return {};
    if (!con->get_remote_close_reason().empty()) return con->get_remote_close_reason();
    if (con->get_remote_close_code() != websocketpp::close::status::abnormal_close) return {};
    const auto transport = con->get_transport_ec();
    return transport ? transport.message() : con->get_ec().message();
}

// Why an attempt failed, as specific as it is known: "HTTP 503", "Connection refused", the
// certificate check's own words.
std::string Session::failure_reason(const ws_client::connection_ptr& con) {
    if (!con) return "no connection";
    const auto status = con->get_response_code();
    if (status != websocketpp::http::status_code::uninitialized &&
        status != websocketpp::http::status_code::switching_protocols) {
        return "HTTP " + std::to_string(static_cast<int>(status));
    }
    const long verified = SSL_get_verify_result(con->get_socket().native_handle());
    if (verified != X509_V_OK) {
        return std::string("certificate verify failed: ") + X509_verify_cert_error_string(verified);
    }
    const std::string& logged = feed.endpoint().get_elog().first_failure();
    if (!logged.empty()) return logged;
    if (timed_out(con->get_ec())) return con->get_ec().message();
    const auto transport = con->get_transport_ec();
    return transport ? transport.message() : con->get_ec().message();
}

void Session::on_fail(const websocketpp::connection_hdl& handle) {
    CORVANE_ON_RUN_THREAD(thread());
    print_line(Stream::out, "Connection failed");
    websocketpp::lib::error_code ec;
    queue_event(InboundMessage::Kind::fail,
                failure_reason(feed.endpoint().get_con_from_hdl(handle, ec)));
    feed.on_ended(*this);
}

void Session::set_no_delay(const websocketpp::connection_hdl& handle) {
    CORVANE_ON_RUN_THREAD(thread());
    // Orders must not wait for Nagle's algorithm.
    websocketpp::lib::error_code ec;
    ws_client::connection_ptr con = feed.endpoint().get_con_from_hdl(handle, ec);
    boost::system::error_code ignored;
    if (con) con->get_raw_socket().set_option(boost::asio::ip::tcp::no_delay(true), ignored);
}

void Session::arm_timer() {
    if (!schedule.enabled()) return;
    timer.expires_after(schedule.tick());
    timer.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) on_tick();
    });
}

void Session::on_tick() {
    CORVANE_ON_RUN_THREAD(thread());
    if (!takes_sends(state)) return;
    switch (schedule.on_tick(arrivals, feed.paused())) {
        case KeepAliveSchedule::Action::ping:
            ping();
            break;
        case KeepAliveSchedule::Action::close:
            drop_as_dead("nothing received for " +
                         std::to_string(keepalive.dead_after.count() / 1000) +
                         " s: closed as dead");
            return;
        case KeepAliveSchedule::Action::unanswered:
            drop_as_dead("ping timeout: nothing received within " +
                         seconds_text(keepalive.ping_timeout) + " s of a ping: closed as dead");
            return;
        case KeepAliveSchedule::Action::none:
            break;
    }
    arm_timer();
}

void Session::ping() {
    CORVANE_ON_RUN_THREAD(thread());
    ws_client::connection_ptr con = connection();
    // A connection already closing takes no ping; its close ends the session anyway. Its state
    // changes only on this thread, so it cannot change before the send below.
    if (!con || con->get_state() != ws_state::open) return;
    if (!keepalive.ping_line.empty()) print_line(Stream::out, keepalive.ping_line);
    send_text(keepalive.ping_text);
    stats.pings_sent.fetch_add(1);
    if (!keepalive.pong_text.empty()) ++pongs_expected;
}

void Session::drop_as_dead(const std::string& why) {
    CORVANE_ON_RUN_THREAD(thread());
    go(SessionEvent::close_asked);
    own_reason = why;
    ws_client::connection_ptr con = connection();
    if (con) {
        // Neither a TLS close nor the read under way would ever be answered.
        con->get_socket().abandon();
        con->terminate(
            websocketpp::transport::error::make_error_code(websocketpp::transport::error::timeout));
        boost::system::error_code ignored;  // the read ends with the connection anyway
        con->get_raw_socket().cancel(ignored);
    }
}

}  // namespace corvane
