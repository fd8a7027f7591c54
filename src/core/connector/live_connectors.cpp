#include "core/connector/live_connectors.hpp"

#include <mutex>
#include <set>
#include <stdexcept>
#include <string>

#include "core/connector/websocket_connector.hpp"
#include "core/text/output.hpp"

namespace corvane {
namespace {

// Taken before any connector's own locks, and held across disconnect_all().
std::mutex& registry_mtx() {
    static std::mutex mtx;
    return mtx;
}

std::set<WebSocketConnector*>& registry() {
    static std::set<WebSocketConnector*> connectors;
    return connectors;
}

}  // namespace

void LiveConnectors::add(WebSocketConnector* connector) {
    std::lock_guard<std::mutex> lock(registry_mtx());
    registry().insert(connector);
}

void LiveConnectors::remove(WebSocketConnector* connector) {
    std::lock_guard<std::mutex> lock(registry_mtx());
    registry().erase(connector);
}

void LiveConnectors::disconnect_all() {
    std::lock_guard<std::mutex> lock(registry_mtx());
    for (WebSocketConnector* connector : registry()) {
        try {
            connector->disconnect();
        } catch (const std::exception& e) {
            print_line(Stream::err, std::string("WebSocket error: ") + e.what());
        }
    }
}

}  // namespace corvane
