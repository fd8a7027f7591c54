// Binding of wsrun_async() and AsyncWebSocketIterator: `async for` over the same queue as
// wsrun(). Each __anext__ returns a MessageAwaitable (message_awaitable.hpp).

#include <pybind11/pybind11.h>

#include "module/async_iterator.hpp"
#include "module/bindings.hpp"
#include "module/loop_watch.hpp"
#include "module/message_awaitable.hpp"

namespace py = pybind11;

namespace corvane {

AsyncWebSocketIterator::~AsyncWebSocketIterator() {
    if (watch != nullptr) retire_watch(watch);
    Py_XDECREF(watch);
    Py_XDECREF(spare);
}

AsyncWebSocketIterator& iterator_of(PyObject* iterator) {
    auto* inst = reinterpret_cast<py::detail::instance*>(iterator);
    return *static_cast<AsyncWebSocketIterator*>(inst->get_value_and_holder().value_ptr());
}

void bind_async_iterator(py::module_& m, BaseClass& base) {
    py::module_ asyncio = py::module_::import("asyncio");
    init_awaitable_type(asyncio);
    init_watch_type();
    py::class_<AsyncWebSocketIterator, std::unique_ptr<AsyncWebSocketIterator>> iterator(
        m, "AsyncWebSocketIterator");
    iterator
        .def(
            "__aiter__",
            [](AsyncWebSocketIterator& self) -> AsyncWebSocketIterator& { return self; },
            py::return_value_policy::reference_internal)
        .def("__anext__", [](py::object self) {
            return py::reinterpret_steal<py::object>(new_awaitable(self.ptr()));
        });
    // The am_anext slot directly, as tp_iternext for the sync iterator: `async for` pays no
    // method lookup or argument dispatch.
    auto* type = reinterpret_cast<PyTypeObject*>(iterator.ptr());
    type->tp_as_async->am_anext = &new_awaitable;
    PyType_Modified(type);
    base.def(
        "wsrun_async",
        [](BaseExchangeConnector& self, bool meta) {
            return std::make_unique<AsyncWebSocketIterator>(&self, meta);
        },
        py::arg("meta") = false, py::keep_alive<0, 1>());
}

}  // namespace corvane
