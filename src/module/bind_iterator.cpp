// Binding of wsrun() and WebSocketIterator: the reader's wait drops the GIL and wakes in short
// slices so that Ctrl-C and other Python threads get through. Iteration goes through the type's
// tp_iternext slot directly, so a for-loop pays no method lookup or argument dispatch.
// until_end() and recv(timeout) serve the corvane_ws package: a loop that ends as Python's do,
// and a bounded wait.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <stdexcept>

#include "module/bindings.hpp"
#include "module/take_message.hpp"
#include "module/web_socket_iterator.hpp"

namespace py = pybind11;

namespace corvane {
namespace {

constexpr std::chrono::milliseconds kWaitSlice{50};
// About 31 years: a longer timeout waits this long. The clock counts nanoseconds in 64 bits, so
// a duration of 9.3e9 s would overflow it into a deadline already past.
constexpr double kLongestWaitS = 1e9;

using Message = py::typing::Union<py::str, py::bytes>;

using Clock = std::chrono::steady_clock;

// The next message, or an empty object once the stream has ended; without a deadline it waits
// as long as it takes, with one it raises TimeoutError when nothing came by then.
py::object wait_message(WebSocketIterator& self, std::optional<Clock::time_point> deadline) {
    for (;;) {
        auto wait = kWaitSlice;
        if (deadline) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            wait = std::clamp(left, std::chrono::milliseconds{0}, kWaitSlice);
        }
        Taken taken = take_message(*self.connector, wait, self.meta);
        if (taken.kind == Taken::Kind::message) return std::move(taken.message);
        if (taken.kind == Taken::Kind::end) return py::object{};
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (deadline && Clock::now() >= *deadline) {
            PyErr_SetString(PyExc_TimeoutError, "No message within the timeout");
            throw py::error_already_set();
        }
    }
}

Message next_message(WebSocketIterator& self) {
    py::object message = wait_message(self, std::nullopt);
    if (!message) {
        if (self.until_end) throw py::stop_iteration();
        throw std::runtime_error("No more messages");
    }
    return py::reinterpret_steal<Message>(message.release());
}

py::object recv(WebSocketIterator& self, std::optional<double> timeout) {
    std::optional<Clock::time_point> deadline;
    if (timeout) {
        if (!(*timeout >= 0) || std::isinf(*timeout)) {
            throw py::value_error("timeout must be a non-negative number of seconds or None");
        }
        deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(
                                          std::min(*timeout, kLongestWaitS)));
    }
    py::object message = wait_message(self, deadline);
    return message ? message : py::none();
}

// The tp_iternext slot: next_message with exceptions turned into Python errors here, and
// NULL without an error (StopIteration) at the end of an until_end() iterator.
PyObject* iternext_slot(PyObject* self) {
    try {
        auto* inst = reinterpret_cast<py::detail::instance*>(self);
        auto& iterator = *static_cast<WebSocketIterator*>(inst->get_value_and_holder().value_ptr());
        if (iterator.until_end) return wait_message(iterator, std::nullopt).release().ptr();
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
        .def("__next__", &next_message)
        .def(
            "until_end",
            [](const WebSocketIterator& self) {
                return WebSocketIterator{self.connector, self.meta, true};
            },
            py::keep_alive<0, 1>(),
            "An iterator over the same queue whose loop ends with StopIteration once the stream "
            "has ended, instead of RuntimeError.")
        .def("recv", &recv, py::arg("timeout") = py::none(),
             "The next message, waiting at most `timeout` seconds (None: no limit); None once "
             "the stream has ended. TimeoutError when nothing came in time.");
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
