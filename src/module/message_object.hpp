#pragma once
// One inbound message as a Python object: str for a text frame, bytes for a binary one.

#include <pybind11/pybind11.h>

#include "core/inbound_queue.hpp"

namespace corvane {

// A text payload checked as ASCII on the run thread becomes a str by a plain copy; other text
// is decoded as strict UTF-8. Throws pybind11::error_already_set.
pybind11::object message_object(const InboundMessage& message);

}  // namespace corvane
