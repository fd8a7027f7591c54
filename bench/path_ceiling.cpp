// Module path ceiling: the connectors' own TLS and framing path (websocketpp over TlsStream, the
// same client configuration as a connector's), with every payload discarded in the message
// handler: no queue, no reader, no Python.
//
//   path_ceiling HOST PORT SIZE COUNT   prints one JSON line of results

#include <chrono>
#include <iostream>
#include <string>

#include "core/transport/client_config.hpp"
#include "core/transport/tls_context.hpp"
#include "payload.hpp"
#include "run_report.hpp"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: path_ceiling HOST PORT SIZE COUNT\n";
        return 2;
    }
    const std::string host = argv[1];
    const std::size_t size = std::stoul(argv[3]);
    const std::uint64_t count = std::stoull(argv[4]);
    const corvane::bench::PayloadTemplate layout(size);
    corvane::bench::Tally tally;

    corvane::ws_client client;
    client.clear_access_channels(websocketpp::log::alevel::all);
    client.init_asio();
    client.set_tls_init_handler(
        [](websocketpp::connection_hdl) { return corvane::make_websocket_tls_context(); });
    client.set_message_handler(
        [&](websocketpp::connection_hdl h, corvane::ws_client::message_ptr m) {
            const std::string& payload = m->get_raw_payload();
            tally.take(payload.data(), payload.size(), layout);
            if (tally.received == count) client.close(h, websocketpp::close::status::normal, "");
        });
    websocketpp::lib::error_code ec;
    const std::string url =
        "wss://" + host + ":" + argv[2] + "/?size=" + argv[3] + "&count=" + argv[4];
    auto con = client.get_connection(url, ec);
    if (ec) {
        std::cerr << ec.message() << "\n";
        return 1;
    }
    corvane::expect_peer_host(con->get_socket().native_handle(), host);
    client.connect(con);
    client.run();
    tally.report(count);
    return 0;
}
