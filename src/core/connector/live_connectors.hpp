#pragma once
// LiveConnectors: every WebSocketConnector that exists, so that the interpreter's exit can end
// their connections and join their threads before it finalises.

namespace corvane {

class WebSocketConnector;

class LiveConnectors {
public:
    static void add(WebSocketConnector* connector);
    // Waits while disconnect_all() is busy, so the connector is never disconnected while it is
    // being destroyed.
    static void remove(WebSocketConnector* connector);
    // disconnect() on every connector that exists.
    static void disconnect_all();
};

}  // namespace corvane
