#include "core/session.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <nlohmann/json.hpp>

#include <stdexcept>

#include "core/output.hpp"
#include "core/tls_context.hpp"
#include "core/utf8_check.hpp"

namespace corvane {
namespace {

using websocketpp::session::state::value;
namespace ws_state = websocketpp::session::state;

boost::asio::io_context& prepared_loop(ws_client& endpoint) {
    endpoint.clear_access_channels(websocketpp::log::alevel::all);
    endpoint.init_asio();
    return endpoint.get_io_service();
}

}  // namespace

Session::Session(InboundQueue& inbound, const KeepAlive& keepalive,
                 std::unique_ptr<ConnectionHandler> handler)
    : inbound(inbound),
      keepalive(keepalive),
      timer(prepared_loop(endpoint)),
      schedule(keepalive),
      handler(std::move(handler)) {
    endpoint.set_open_handler([this](websocketpp::connection_hdl h) { on_open(h); });
    endpoint.set_close_handler([this](websocketpp::connection_hdl) { on_close(); });
    endpoint.set_fail_handler([this](websocketpp::connection_hdl) { on_fail(); });
    endpoint.set_message_handler([this](websocketpp::connection_hdl, ws_client::message_ptr m) {
        on_message(m->get_raw_payload(), m->frame_opcode() == websocketpp::frame::opcode::binary);
    });
    endpoint.set_tls_init_handler(
        [](websocketpp::connection_hdl) { return make_websocket_tls_context(); });
    endpoint.set_tcp_post_init_handler([this](websocketpp::connection_hdl h) { set_no_delay(h); });
}

Session::~Session() = default;

void Session::open(const std::string& url, const std::function<void()>& created) {
    websocketpp::lib::error_code ec;
    ws_client::connection_ptr con = endpoint.get_connection(url, ec);
    created();
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
    endpoint.connect(con);
}

std::string Session::run() {
    owner.claim();
    try {
        endpoint.run();
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

boost::asio::io_context& Session::io() {
    return endpoint.get_io_service();
}

ws_client::connection_ptr Session::connection() {
    websocketpp::lib::error_code ec;
    return endpoint.get_con_from_hdl(hdl, ec);
}

// ---- any thread ----

bool Session::is_open() {
    std::lock_guard<std::mutex> lock(send_mtx);
    return opened;
}

void Session::send_text(const std::string& text) {
    std::lock_guard<std::mutex> lock(send_mtx);
    send_locked(text);
}

void Session::send_locked(const std::string& text) {
    websocketpp::lib::error_code ec;
    ws_client::connection_ptr con = endpoint.get_con_from_hdl(hdl, ec);
    if (!ec) {
        ws_client::message_ptr msg =
            con->get_message(websocketpp::frame::opcode::text, text.size());
        msg->mark_outbound();
        msg->append_payload(text);
        ec = con->send(msg);
    }
    if (ec) throw std::runtime_error("Send failed: " + ec.message());
}

void Session::send_json(const nlohmann::json& value) {
    send_text(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict));
}

bool Session::send_if_open(const nlohmann::json& value) {
    const std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    std::lock_guard<std::mutex> lock(send_mtx);
    if (!opened) return false;
    send_locked(text);
    return true;
}

void Session::request_close() {
    boost::asio::post(io(), [this] { close(websocketpp::close::status::normal, ""); });
}

void Session::stop() {
    endpoint.stop();
}

// ---- run thread ----

void Session::close(std::uint16_t code, const std::string& reason) {
    CORVANE_ON_RUN_THREAD(owner);
    ws_client::connection_ptr con = connection();
    const value state = con ? con->get_state() : ws_state::connecting;
    if (state == ws_state::closing) return;  // under way: it ends the loop once complete
    // Frames already handed to send() are queued ahead of the close frame.
    websocketpp::lib::error_code ec;
    if (state == ws_state::open) con->close(code, reason, ec);
    // Not open yet, or already closed: nothing to flush or to wait for.
    if (state != ws_state::open || ec) endpoint.stop();
}

void Session::deliver(std::string& payload, bool binary) {
    CORVANE_ON_RUN_THREAD(owner);
    if (!inbound.push(std::move(payload), binary, !binary && ascii_in_flight) || wake_posted) {
        return;
    }
    // One wake-up per read: the rest of the buffer being parsed joins this message before the
    // reader runs, instead of each message paying for a wake-up of its own.
    wake_posted = true;
    boost::asio::post(io(), [this] {
        wake_posted = false;
        inbound.wake();
    });
}

void Session::on_open(const websocketpp::connection_hdl& handle) {
    CORVANE_ON_RUN_THREAD(owner);
    {
        std::lock_guard<std::mutex> lock(send_mtx);
        hdl = handle;
        opened = true;  // after hdl: whoever sees the session open may send
    }
    handler->on_open(*this);
    // The keep-alive starts after the exchange's opening frames, which therefore go first.
    if (schedule.start(arrivals)) ping();
    arm_timer();
}

void Session::on_message(std::string& payload, bool binary) {
    CORVANE_ON_RUN_THREAD(owner);
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

void Session::on_close() {
    CORVANE_ON_RUN_THREAD(owner);
    {
        std::lock_guard<std::mutex> lock(send_mtx);
        opened = false;
    }
    timer.cancel();
    handler->on_closed(*this);
    inbound.end_stream();
}

void Session::on_fail() {
    CORVANE_ON_RUN_THREAD(owner);
    print_line(Stream::out, "Connection failed");
    inbound.end_stream();
}

void Session::set_no_delay(const websocketpp::connection_hdl& handle) {
    CORVANE_ON_RUN_THREAD(owner);
    // Orders must not wait for Nagle's algorithm.
    websocketpp::lib::error_code ec;
    ws_client::connection_ptr con = endpoint.get_con_from_hdl(handle, ec);
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
    CORVANE_ON_RUN_THREAD(owner);
    if (!opened) return;
    switch (schedule.on_tick(arrivals)) {
        case KeepAliveSchedule::Action::ping:
            ping();
            break;
        case KeepAliveSchedule::Action::close:
            drop_as_dead();
            return;
        case KeepAliveSchedule::Action::none:
            break;
    }
    arm_timer();
}

void Session::ping() {
    CORVANE_ON_RUN_THREAD(owner);
    ws_client::connection_ptr con = connection();
    // A connection already closing takes no ping; its close ends the session anyway. Its state
    // changes only on this thread, so it cannot change before the send below.
    if (!con || con->get_state() != ws_state::open) return;
    if (!keepalive.ping_line.empty()) print_line(Stream::out, keepalive.ping_line);
    send_text(keepalive.ping_text);
    if (!keepalive.pong_text.empty()) ++pongs_expected;
}

void Session::drop_as_dead() {
    CORVANE_ON_RUN_THREAD(owner);
    ws_client::connection_ptr con = connection();
    if (con) {
        con->terminate(
            websocketpp::transport::error::make_error_code(websocketpp::transport::error::timeout));
    }
}

}  // namespace corvane
