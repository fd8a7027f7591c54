#include "module/message_object.hpp"

#include <cstring>

namespace py = pybind11;

namespace corvane {

py::object message_object(const InboundMessage& message) {
    const auto size = static_cast<Py_ssize_t>(message.payload.size());
    PyObject* object = nullptr;
    if (message.binary) {
        object = PyBytes_FromStringAndSize(message.payload.data(), size);
    } else if (message.ascii) {
        object = PyUnicode_New(size, 127);
        if (object != nullptr) {
            std::memcpy(PyUnicode_1BYTE_DATA(object), message.payload.data(), message.payload.size());
        }
    } else {
        object = PyUnicode_DecodeUTF8(message.payload.data(), size, "strict");
    }
    if (object == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(object);
}

}  // namespace corvane
