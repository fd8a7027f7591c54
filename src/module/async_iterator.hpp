#pragma once
// AsyncWebSocketIterator: what wsrun_async() returns. Each __anext__ gives a MessageAwaitable
// (message_awaitable.hpp); a wait goes through a Watch of the event loop it runs on
// (loop_watch.hpp), kept from one wait to the next, so that a stream read on one loop pays for
// add_reader once. Its Python object keeps its connector's alive.

#include <pybind11/pybind11.h>

#include "core/connector/base_connector.hpp"

namespace corvane {

struct AsyncWebSocketIterator {
    AsyncWebSocketIterator(BaseExchangeConnector* connector, bool meta)
        : connector(connector), meta(meta) {}
    AsyncWebSocketIterator(const AsyncWebSocketIterator&) = delete;
    AsyncWebSocketIterator& operator=(const AsyncWebSocketIterator&) = delete;
    // Retires its watch, which its loop then lets go of: no call into Python here.
    ~AsyncWebSocketIterator();

    BaseExchangeConnector* connector;  // kept alive by the Python object's keep-alive
    const bool meta;                   // Message and Event objects instead of bare data
    PyObject* watch = nullptr;         // its watch on the loop it last waited on (a reference)
    PyObject* spare = nullptr;         // an awaitable no one else holds, to be used again
};

// The C++ object of an AsyncWebSocketIterator Python object.
AsyncWebSocketIterator& iterator_of(PyObject* iterator);

}  // namespace corvane
