#pragma once
// One step of a reader, sync or async: the oldest queued message as a Python object (str for a
// text frame, bytes for a binary one; with `meta`, a Message holding it, and the connections'
// events as Event objects, which plain readers skip), or why there is none.

#include <pybind11/pybind11.h>

#include <chrono>

#include "core/connector/base_connector.hpp"

namespace corvane {

struct Taken {
    enum class Kind { message, nothing, end };
    Kind kind;
    pybind11::object message;  // Kind::message only
};

// With the GIL held. A queued message is taken without giving up the GIL; otherwise, with a
// `wait` above zero, the wait for one (or for a lock another reader holds) happens without it.
// Kind::nothing: nothing came meanwhile; Kind::end: nothing is queued and the stream has ended.
// A failed conversion raises pybind11::error_already_set.
Taken take_message(BaseExchangeConnector& connector, std::chrono::milliseconds wait,
                   bool meta = false);

}  // namespace corvane
