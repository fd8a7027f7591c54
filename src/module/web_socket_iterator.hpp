#pragma once
// WebSocketIterator: what wsrun() returns; each step takes the oldest message of its connector.
// It has no state of its own, so any number of iterators share one queue.

#include "core/connector/base_connector.hpp"

namespace corvane {

struct WebSocketIterator {
    BaseExchangeConnector* connector;  // kept alive by the Python object's keep-alive
    bool meta;                         // Message and Event objects instead of bare data
    bool until_end = false;  // the loop ends as Python's do (StopIteration), not with RuntimeError
};

}  // namespace corvane
