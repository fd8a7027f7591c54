#pragma once
// Message and Event: what a reader with meta=True gets. A Message is one received message with
// its receive time and connection number; an Event is something that happened to a connection
// (open, close, fail, error). Both are small C types: no dict, fixed attributes, a repr.

#include <pybind11/pybind11.h>

#include "core/inbound/message_batch.hpp"

namespace corvane {

// `data` (a reference, taken over): the message's str or bytes.
PyObject* new_message(PyObject* data, const InboundMessage& message);
PyObject* new_event(const InboundMessage& event);

void bind_meta_objects(pybind11::module_& m);

}  // namespace corvane
