// Binding of wsrun() and WebSocketIterator: the reader's wait drops the GIL and wakes in short
// slices so that Ctrl-C and other Python threads get through. Iteration goes through the type's
// tp_iternext slot directly, so a for-loop pays no method lookup or argument dispatch.

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <chrono>
#include <stdexcept>

#include "module/bindings.hpp"
#include "module/take_message.hpp"
#include "module/web_socket_iterator.hpp"

namespace py = pybind11;

namespace corvane {
namespace {

constexpr std::chrono::milliseconds kWaitSlice{50};

using Message = py::typing::Union<py::str, py::bytes>;

Message next_message(WebSocketIterator& self) {
    for (;;) {
        Taken taken = take_message(*self.connector, kWaitSlice, self.meta);
        if (taken.kind == Taken::Kind::message) {
            return py::reinterpret_steal<Message>(taken.message.release());
        }
        if (taken.kind == Taken::Kind::end) throw std::runtime_error("No more messages");
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
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
        "wsrun",
        [](BaseExchangeConnector& self, bool meta) {
            return WebSocketIterator{&self, meta};
        },
        py::arg("meta") = false, py::keep_alive<0, 1>());
}

}  // namespace corvane
