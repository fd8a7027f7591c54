#pragma once
// The websocketpp configuration of the connectors' client: asio_tls_client with one change. Its
// processor checks inbound text with a byte-at-a-time validator, the costliest step of a market
// data message; here inbound text messages report themselves as binary to the processor, and
// the connector validates them itself with an ASCII fast path (see utf8_check.hpp). Outbound
// messages are marked, so they still go out as the text frames they are. Inbound payloads reuse
// the buffers readers hand back (see payload_buffers.hpp). The library's log lines go through
// print_line, so that a blocked standard error never holds up a connection. TLS goes through
// the connectors' own socket policy (tls_socket.hpp), which reads large.

#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_client.hpp>

#include <ctime>
#include <string>
#include <type_traits>

#include "core/inbound/payload_buffers.hpp"
#include "core/text/output.hpp"
#include "core/transport/tls_socket.hpp"

namespace corvane {

// websocketpp's own log format, "[date time] [channel] text", written through print_line.
template <typename concurrency, typename names>
class line_logger : public websocketpp::log::basic<concurrency, names> {
    using base = websocketpp::log::basic<concurrency, names>;

public:
    using base::base;

    void write(websocketpp::log::level channel, const std::string& msg) {
        note_failure(msg);
        if (!this->dynamic_test(channel)) return;
        const std::time_t now = std::time(nullptr);
        const std::tm local = websocketpp::lib::localtime(now);
        char stamp[20];
        if (std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local) == 0) stamp[0] = 0;
        constexpr bool errors = std::is_same<names, websocketpp::log::elevel>::value;
        const bool severe =
            errors &&
            (channel & (websocketpp::log::elevel::rerror | websocketpp::log::elevel::fatal)) != 0;
        print_line(errors ? Stream::err : Stream::out,
                   std::string("[") + stamp + "] [" + names::channel_name(channel) + "] " + msg,
                   !errors  ? Level::info
                   : severe ? Level::error
                            : Level::warning);
    }
    void write(websocketpp::log::level channel, const char* msg) {
        write(channel, std::string(msg));
    }

    // Why the connection's name resolution or TCP connect failed, as the transport logged it
    // ("Connection refused"): websocketpp hands the failure handler only a generic code.
    const std::string& first_failure() const { return failure; }
    void forget_failure() { failure.clear(); }  // another connection is about to be made

private:
    void note_failure(const std::string& msg) {
        if (!failure.empty() || (msg.rfind("asio async_resolve error", 0) != 0 &&
                                 msg.rfind("asio async_connect error", 0) != 0)) {
            return;
        }
        const auto open = msg.find('(');
        const auto close = msg.rfind(')');
        failure = open < close && close != std::string::npos
                      ? msg.substr(open + 1, close - open - 1)
                      : msg;
    }

    std::string failure;  // one writer at a time: the thread driving the endpoint
};

template <template <class> class Manager>
class checked_text_message : public websocketpp::message_buffer::message<Manager> {
    using base = websocketpp::message_buffer::message<Manager>;
    using opcode = websocketpp::frame::opcode::value;

public:
    typedef websocketpp::lib::shared_ptr<checked_text_message> ptr;
    typedef Manager<checked_text_message> con_msg_man_type;
    typedef typename con_msg_man_type::ptr con_msg_man_ptr;
    typedef typename con_msg_man_type::weak_ptr con_msg_man_weak_ptr;

    // websocketpp never recycles messages, so the base keeps no manager.
    explicit checked_text_message(const con_msg_man_ptr&) : base(nullptr) {}
    // On the run thread the payload buffer comes from the connector's recycled ones.
    checked_text_message(const con_msg_man_ptr&, opcode op, size_t size = 128)
        : base(nullptr, op, 0) {
        PayloadBuffers* buffers = PayloadBuffers::current();
        if (buffers != nullptr) {
            base::get_raw_payload() = buffers->take(size);
        } else {
            base::get_raw_payload().reserve(size);
        }
    }

    // What the processor sees.
    opcode get_opcode() const {
        const opcode op = base::get_opcode();
        return op == websocketpp::frame::opcode::text && !outbound
                   ? websocketpp::frame::opcode::binary
                   : op;
    }
    // What the frame was.
    opcode frame_opcode() const { return base::get_opcode(); }
    void mark_outbound() { outbound = true; }

private:
    bool outbound = false;
};

struct client_config : websocketpp::config::asio_tls_client {
    typedef client_config type;
    typedef line_logger<concurrency_type, websocketpp::log::elevel> elog_type;
    typedef line_logger<concurrency_type, websocketpp::log::alevel> alog_type;
    struct transport_config : public websocketpp::config::asio_tls_client::transport_config {
        typedef type::elog_type elog_type;
        typedef type::alog_type alog_type;
        typedef tls_socket::endpoint socket_type;
        // One thread runs a connection's loop: no strands. (Other threads' sends reach the loop
        // through websocketpp's own locks and a post.)
        static const bool enable_multithreading = false;
    };
    typedef websocketpp::transport::asio::endpoint<transport_config> transport_type;
    typedef checked_text_message<websocketpp::message_buffer::alloc::con_msg_manager> message_type;
    typedef websocketpp::message_buffer::alloc::con_msg_manager<message_type> con_msg_manager_type;
    typedef websocketpp::message_buffer::alloc::endpoint_msg_manager<con_msg_manager_type>
        endpoint_msg_manager_type;
    // Each read takes what TlsStream decrypted from one large receive (tls_stream.hpp).
    static const size_t connection_read_buffer_size = TlsStream::kReadAhead;
};

using ws_client = websocketpp::client<client_config>;

}  // namespace corvane
