#pragma once
// Turns the keyword arguments of a connector call into the ParamMap the connector reads.

#include <pybind11/pybind11.h>

#include "core/text/param_map.hpp"

namespace corvane {

// str as UTF-8, int (bool included) as 32-bit decimal, float as exact fixed-point text, None as
// absent; any other type raises TypeError.
ParamMap to_param_map(const pybind11::kwargs& kwargs);

}  // namespace corvane
