#include "module/take_message.hpp"

#include <cstring>
#include <optional>
#include <stdexcept>

#include "module/gil.hpp"
#include "module/meta_objects.hpp"

namespace py = pybind11;

namespace corvane {
namespace {

// A text payload checked as ASCII on the run thread becomes a str by a plain copy; other text
// is decoded as strict UTF-8.
py::object message_object(const InboundMessage& message) {
    const auto size = static_cast<Py_ssize_t>(message.payload.size());
    PyObject* object = nullptr;
    if (message.binary) {
        object = PyBytes_FromStringAndSize(message.payload.data(), size);
    } else if (message.ascii) {
        object = PyUnicode_New(size, 127);
        if (object != nullptr) {
            std::memcpy(PyUnicode_1BYTE_DATA(object), message.payload.data(),
                        message.payload.size());
        }
    } else {
        object = PyUnicode_DecodeUTF8(message.payload.data(), size, "strict");
    }
    if (object == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(object);
}

}  // namespace

Taken take_message(BaseExchangeConnector& connector, std::chrono::milliseconds wait, bool meta) {
    std::optional<InboundMessage> message;
    try {
        do {
            message = connector.try_take();
            if (!message && wait.count() > 0) {
                message = without_gil([&] { return connector.take(wait); });
            }
        } while (message && message->kind != InboundMessage::Kind::message && !meta);
    } catch (const std::runtime_error&) {  // "No more messages"
        return Taken{Taken::Kind::end, {}};
    }
    if (!message) return Taken{Taken::Kind::nothing, {}};
    if (message->kind != InboundMessage::Kind::message) {
        PyObject* event = new_event(*message);
        if (event == nullptr) throw py::error_already_set();
        return Taken{Taken::Kind::message, py::reinterpret_steal<py::object>(event)};
    }
    py::object data = message_object(*message);
    if (meta) {
        PyObject* wrapped = new_message(data.release().ptr(), *message);
        if (wrapped == nullptr) throw py::error_already_set();
        data = py::reinterpret_steal<py::object>(wrapped);
    }
    connector.give_back(std::move(message->payload));  // its buffer, for the run thread to reuse
    return Taken{Taken::Kind::message, std::move(data)};
}

}  // namespace corvane
