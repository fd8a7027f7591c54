// The MexcConnector's two worker threads: the ping loop and the listen-key renewal.

#include <iostream>

#include "mexc/mexc_connector.hpp"

namespace corvane {

void MexcConnector::ping_loop() {
    try {
        if (!wait_until_open()) return;
        const auto ping = mexc::ping_request();
        const std::string line = "Пингуем " + ping.dump();
        do {
            std::cout << line << std::endl;
            std::lock_guard<std::mutex> lock(mtx);
            send_message(ping);
        } while (pause_while_open(settings.ping_interval));
    } catch (const std::exception& e) {
        report_worker_error(e);
    }
}

void MexcConnector::keepalive_listen_key() {
    try {
        if (!wait_until_open()) return;
        while (pause_while_open(settings.listen_key_renewal)) {
            send_signed_request("PUT", mexc::kListenKeyPath, {{"listenKey", listen_key}});
        }
    } catch (const std::exception& e) {
        report_worker_error(e);
    }
}

void MexcConnector::report_worker_error(const std::exception& e) const {
    if (running.load()) std::cerr << "WebSocket error: " << e.what() << std::endl;
}

}  // namespace corvane
