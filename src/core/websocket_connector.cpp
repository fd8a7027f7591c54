#include "core/websocket_connector.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <nlohmann/json.hpp>

#include <iostream>
#include <optional>
#include <stdexcept>

#include "core/client_config.hpp"
#include "core/tls_context.hpp"
#include "core/utf8_check.hpp"

namespace corvane {

// The endpoint with its own event loop; a fresh one per session, so that a reused connector
// never resumes the handlers of an old connection.
struct WebSocketConnector::Client {
    ws_client endpoint;
    websocketpp::connection_hdl hdl;                    // guarded by the connector's mtx
    std::optional<boost::asio::steady_timer> watchdog;  // destroyed before the endpoint's loop

    explicit Client(WebSocketConnector& owner);
};

WebSocketConnector::Client::Client(WebSocketConnector& owner) {
    endpoint.clear_access_channels(websocketpp::log::alevel::all);
    endpoint.init_asio();
    watchdog.emplace(endpoint.get_io_service());
    endpoint.set_open_handler([&owner](websocketpp::connection_hdl h) { owner.handle_open(h); });
    endpoint.set_close_handler([&owner](websocketpp::connection_hdl) { owner.handle_close(); });
    endpoint.set_message_handler([&owner](websocketpp::connection_hdl, ws_client::message_ptr m) {
        owner.handle_message(m->get_raw_payload(),
                             m->frame_opcode() == websocketpp::frame::opcode::binary);
    });
    endpoint.set_tls_init_handler(
        [](websocketpp::connection_hdl) { return make_websocket_tls_context(); });
    endpoint.set_fail_handler([&owner](websocketpp::connection_hdl) { owner.handle_fail(); });
    endpoint.set_tcp_post_init_handler([this](websocketpp::connection_hdl h) {
        // Orders must not wait for Nagle's algorithm.
        websocketpp::lib::error_code ec;
        auto con = endpoint.get_con_from_hdl(h, ec);
        boost::system::error_code ignored;
        if (con) con->get_raw_socket().set_option(boost::asio::ip::tcp::no_delay(true), ignored);
    });
}

WebSocketConnector::WebSocketConnector(KeepAlive keepalive)
    : keepalive(std::move(keepalive)),
      client(std::make_unique<Client>(*this)),
      silence(this->keepalive.silence) {}

WebSocketConnector::~WebSocketConnector() {
    shutdown();
}

void WebSocketConnector::shutdown() noexcept {
    try {
        std::lock_guard<std::mutex> life(life_mtx);
        running.store(false);
        end_session(false);
    } catch (const std::exception& e) {
        std::cerr << "WebSocket error: " << e.what() << std::endl;
    }
}

void WebSocketConnector::connect(const std::string& url) {
    std::lock_guard<std::mutex> life(life_mtx);
    if (stream_live()) throw std::runtime_error("Connection failed: already connected");
    end_session(true);

    const std::string target = session_url(url);
    websocketpp::lib::error_code ec;
    ws_client::connection_ptr con = client->endpoint.get_connection(target, ec);
    on_connection_created();
    if (ec) throw std::runtime_error("Connection failed: " + ec.message());
    if (!con) throw std::runtime_error("Connection failed: no connection object");
    if (con->get_host().empty()) throw std::runtime_error("Connection failed: invalid uri");
    try {
        expect_peer_host(con->get_socket().native_handle(), con->get_host());
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("Connection failed: ") + e.what());
    }
    client->endpoint.connect(con);

    session_used = true;
    {
        std::lock_guard<std::mutex> lock(mtx);
        stopping = false;
        opened = false;
    }
    running.store(true);
    begin_stream();
    try {
        run_thread = std::thread([this] { run_loop(); });
    } catch (...) {
        running.store(false);
        session_ended();
        throw;
    }
    start_workers();
}

void WebSocketConnector::disconnect() {
    std::lock_guard<std::mutex> life(life_mtx);
    running.store(false);
    end_session(true);
}

void WebSocketConnector::end_session(bool keep_reusable) {
    if (!session_used) return;
    {
        std::lock_guard<std::mutex> lock(mtx);
        stopping = true;
    }
    ctl_cv.notify_all();
    client->endpoint.stop();  // no close handshake: the old client takes the socket down below
    session_ended();
    if (run_thread.joinable()) run_thread.join();
    join_workers();
    connected.store(false);
    session_used = false;
    if (!keep_reusable) return;
    std::unique_ptr<Client> old;
    {
        std::lock_guard<std::mutex> lock(mtx);
        old = std::exchange(client, std::make_unique<Client>(*this));
    }
    old.reset();  // outside mtx: tearing down the old loop may wait for its resolver
}

void WebSocketConnector::session_ended() {
    end_stream();
    // A worker tests its condition under mtx before it sleeps: passing through mtx here means
    // it either saw the change already or is asleep and gets this notification.
    { std::lock_guard<std::mutex> lock(mtx); }
    ctl_cv.notify_all();
}

void WebSocketConnector::run_loop() {
    ScopedPayloadBuffers recycled(buffers);
    try {
        client->endpoint.run();
    } catch (const std::exception& e) {
        if (running.exchange(false)) std::cerr << "WebSocket error: " << e.what() << std::endl;
    }
    // Without its loop the connection can neither read nor write: end it for every reader.
    connected.store(false);
    session_ended();
}

void WebSocketConnector::handle_open(std::weak_ptr<void> hdl) {
    {
        std::lock_guard<std::mutex> lock(mtx);
        client->hdl = std::move(hdl);
        connected.store(true);  // after hdl: whoever sees connected may send
    }
    pongs_expected = 0;
    silence.reset(arrivals);
    arm_watchdog();
    on_open();
    {
        // Workers start after the exchange's own opening frames, which therefore go first.
        std::lock_guard<std::mutex> lock(mtx);
        opened = true;
    }
    ctl_cv.notify_all();
}

void WebSocketConnector::handle_message(std::string& payload, bool binary) {
    ++arrivals;
    const Utf8 text = binary ? Utf8::multibyte : check_utf8(payload);
    if (text == Utf8::invalid) return refuse_invalid_text();
    ascii_in_flight = text == Utf8::ascii;
    if (pongs_expected > 0 && !binary && payload == keepalive.pong_text) {
        --pongs_expected;
        return;
    }
    on_message(payload, binary);
}

// The protocol's answer to a text frame that is not UTF-8: close with 1007, drop the frame.
void WebSocketConnector::refuse_invalid_text() {
    websocketpp::lib::error_code ec;
    client->endpoint.close(client->hdl, websocketpp::close::status::invalid_payload, "Invalid UTF8",
                           ec);
}

void WebSocketConnector::deliver(std::string& payload, bool binary) {
    if (!enqueue(std::move(payload), binary, !binary && ascii_in_flight) || wake_posted) return;
    // One wake-up per read: the rest of the buffer being parsed joins this message before the
    // reader runs, instead of each message paying for a wake-up of its own.
    wake_posted = true;
    boost::asio::post(client->endpoint.get_io_service(), [this] {
        wake_posted = false;
        wake_reader();
    });
}

void WebSocketConnector::handle_close() {
    {
        std::lock_guard<std::mutex> lock(mtx);
        connected.store(false);
    }
    client->watchdog->cancel();
    on_closed();
    session_ended();
}

void WebSocketConnector::handle_fail() {
    std::cout << "Connection failed" << std::endl;
    session_ended();
}

void WebSocketConnector::arm_watchdog() {
    if (!silence.enabled()) return;
    client->watchdog->expires_after(silence.tick());
    client->watchdog->async_wait([this](const boost::system::error_code& ec) {
        if (!ec) on_watchdog_tick();
    });
}

void WebSocketConnector::on_watchdog_tick() {
    if (!connected.load()) return;
    switch (silence.on_tick(arrivals)) {
        case SilenceTracker::Action::ping:
            if (!keepalive.ping_text.empty()) {
                std::lock_guard<std::mutex> lock(mtx);
                send_text(keepalive.ping_text);
                ++pongs_expected;
            }
            break;
        case SilenceTracker::Action::close: {
            websocketpp::lib::error_code ec;
            auto con = client->endpoint.get_con_from_hdl(client->hdl, ec);
            if (con)
                con->terminate(websocketpp::transport::error::make_error_code(
                    websocketpp::transport::error::timeout));
            return;
        }
        case SilenceTracker::Action::none:
            break;
    }
    arm_watchdog();
}

void WebSocketConnector::send_message(const nlohmann::json& msg) {
    send_text(msg.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict));
}

void WebSocketConnector::send_text(const std::string& text) {
    websocketpp::lib::error_code ec;
    ws_client::connection_ptr con = client->endpoint.get_con_from_hdl(client->hdl, ec);
    if (!ec) {
        ws_client::message_ptr msg =
            con->get_message(websocketpp::frame::opcode::text, text.size());
        msg->mark_outbound();
        msg->append_payload(text);
        ec = con->send(msg);
    }
    if (ec) throw std::runtime_error("Send failed: " + ec.message());
}

bool WebSocketConnector::wait_until_open() {
    std::unique_lock<std::mutex> lock(mtx);
    ctl_cv.wait(lock, [this] { return stopping || opened || !stream_live(); });
    return opened && connected.load() && !stopping;
}

bool WebSocketConnector::pause_while_open(std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> lock(mtx);
    return !ctl_cv.wait_for(lock, period, [this] { return stopping || !connected.load(); });
}

}  // namespace corvane
