#include "module/param_conversion.hpp"

#include <climits>
#include <optional>

#include "core/text/number_text.hpp"

namespace py = pybind11;

namespace corvane {
namespace {

std::optional<std::string> utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();  // lone surrogates: reported as the invalid-type error below
        return std::nullopt;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

std::optional<std::string> int32_text_of(PyObject* number) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (overflow != 0 || value < INT_MIN || value > INT_MAX) return std::nullopt;
    return int_text(static_cast<std::int32_t>(value));
}

// The value's text, nullopt when a supported type fails to convert; throws for other types.
std::optional<std::string> text_of(const std::string& key, PyObject* value) {
    if (PyUnicode_Check(value)) return utf8_of(value);
    if (PyLong_Check(value)) return int32_text_of(value);
    if (PyFloat_Check(value)) return float_text(PyFloat_AsDouble(value));
    throw py::type_error("Unsupported type for argument '" + key + "'");
}

}  // namespace

ParamMap to_param_map(const py::kwargs& kwargs) {
    ParamMap params;
    for (const auto& item : kwargs) {
        const std::string key = item.first.cast<std::string>();
        PyObject* value = item.second.ptr();
        if (value == Py_None) continue;
        std::optional<std::string> text = text_of(key, value);
        if (!text) throw py::type_error("Invalid type for argument '" + key + "'");
        params[key] = std::move(*text);
    }
    return params;
}

}  // namespace corvane
