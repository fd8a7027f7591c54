// Binding of wsrun() and WebSocketIterator: the reader's wait drops the GIL and wakes in short
// slices so that Ctrl-C and other Python threads get through. Iteration goes through the type's
// tp_iternext slot directly, so a for-loop pays no method lookup or argument dispatch.

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <chrono>

#include "module/bindings.hpp"
#include "module/gil.hpp"
#include "module/message_object.hpp"
#include "module/web_socket_iterator.hpp"

namespace py = pybind11;

namespace corvane {
namespace {

constexpr std::chrono::milliseconds kWaitSlice{50};

using Message = py::typing::Union<py::str, py::bytes>;

Message next_message(WebSocketIterator& self) {
    // A queued message is returned without giving up the GIL; waiting, for a message or for
    // a lock another reader holds, happens without it.
    std::optional<InboundMessage> message = self.connector->try_take();
    while (!message) {
        message = without_gil([&] { return self.connector->take(kWaitSlice); });
        if (!message && PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
    auto object = py::reinterpret_steal<Message>(message_object(*message).release());
    self.connector->give_back(std::move(message->payload));
    return object;
}

// The tp_iternext slot: next_message with exceptions turned into Python errors here.
PyObject* iternext_slot(PyObject* self) {
    try {
        auto* inst = reinterpret_cast<py::detail::instance*>(self);
        auto& iterator = *static_cast<WebSocketIterator*>(inst->get_value_and_holder().value_ptr());
        return next_message(iterator).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

}  // namespace

void bind_iterator(py::module_& m, BaseClass& base) {
    py::class_<WebSocketIterator, std::unique_ptr<WebSocketIterator>> iterator(m,
                                                                               "WebSocketIterator");
    iterator
        .def(
            "__iter__", [](WebSocketIterator& self) -> WebSocketIterator& { return self; },
            py::return_value_policy::reference_internal)
        .def("__next__", &next_message);
    // After __next__ is defined (defining it resets the slot to a generic method lookup).
    auto* type = reinterpret_cast<PyTypeObject*>(iterator.ptr());
    type->tp_iternext = &iternext_slot;
    PyType_Modified(type);
    // Registered after WebSocketIterator so that its signature names the Python class.
    base.def(
        "wsrun", [](BaseExchangeConnector& self) { return WebSocketIterator{&self}; },
        py::keep_alive<0, 1>());
}

}  // namespace corvane
