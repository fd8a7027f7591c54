// What Python sees of a MessageAwaitable: the coroutine-like steps a task drives (send, throw,
// close) and the duck-typed future it waits on (get_loop, add_done_callback, cancel, result),
// with the type itself.

#include <utility>

#include "module/awaitable_object.hpp"
#include "module/message_awaitable.hpp"

namespace py = pybind11;

namespace corvane {

AsyncioNames asyncio_names{};
PyTypeObject* awaitable_type = nullptr;

namespace {

PyObject* awaitable_send(PyObject* self, PyObject* value) {
    if (value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to this awaitable");
        return nullptr;
    }
    return awaitable_step(self);
}

// throw() and close(): the waiting task is being cancelled or closed; the awaitable stops
// watching at once and lets go of everything.
PyObject* awaitable_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!abandon(self)) return nullptr;
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "throw expected at least 1 argument");
        return nullptr;
    }
    PyObject* exc = args[0];
    if (PyExceptionInstance_Check(exc)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    } else {
        PyErr_SetObject(exc, nargs > 1 ? args[1] : nullptr);
    }
    return nullptr;
}

PyObject* awaitable_close(PyObject* self, PyObject*) {
    if (!abandon(self)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* awaitable_self(PyObject* self) {
    return Py_NewRef(self);
}

int awaitable_traverse(PyObject* self, visitproc visit, void* arg) {
    MessageAwaitable& a = awaitable(self);
    Py_VISIT(a.iterator);
    Py_VISIT(a.loop);
    Py_VISIT(a.watch);
    Py_VISIT(a.wakeup);
    Py_VISIT(a.context);
    Py_VISIT(a.outcome);
    Py_VISIT(a.cancel_message);
    return 0;
}

// A pending awaitable collected with its loop: its watch holds the last reference but one, so
// it is kept until abandon() has let go of everything.
int awaitable_clear(PyObject* self) {
    Py_INCREF(self);
    PyObject* pending = PyErr_GetRaisedException();
    if (!abandon(self)) PyErr_WriteUnraisable(self);
    PyErr_SetRaisedException(pending);
    Py_DECREF(self);
    return 0;
}

void awaitable_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    PyObject* pending = PyErr_GetRaisedException();
    if (!abandon(self)) PyErr_WriteUnraisable(self);
    PyErr_SetRaisedException(pending);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- the future its task sees ----

PyObject* future_get_loop(PyObject* self, PyObject*) {
    PyObject* loop = awaitable(self).loop;
    return Py_NewRef(loop != nullptr ? loop : Py_None);
}

PyObject* future_add_done_callback(PyObject* self_object, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    MessageAwaitable& self = awaitable(self_object);
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs != 1 || nkw > 1 ||
        (nkw == 1 && PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, 0), asyncio_names.context) != 0)) {
        PyErr_SetString(PyExc_TypeError, "add_done_callback(fn, *, context=None)");
        return nullptr;
    }
    if (self.wakeup != nullptr) {  // only a task waits on it, and a task adds one callback
        PyErr_SetString(PyExc_RuntimeError, "this awaitable has a waiter already");
        return nullptr;
    }
    self.wakeup = Py_NewRef(args[0]);
    self.context = nkw == 1 ? Py_NewRef(args[1]) : nullptr;
    // Resolved meanwhile: called soon, as a future would.
    if (self.state != Wait::pending && !schedule_wakeup(self_object)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* future_remove_done_callback(PyObject* self_object, PyObject* fn) {
    MessageAwaitable& self = awaitable(self_object);
    if (self.wakeup == nullptr || PyObject_RichCompareBool(self.wakeup, fn, Py_EQ) != 1) {
        PyErr_Clear();
        return PyLong_FromLong(0);
    }
    Py_CLEAR(self.wakeup);
    Py_CLEAR(self.context);
    return PyLong_FromLong(1);
}

// cancel(msg=None): a pending wait stops watching at once, takes nothing, and wakes its task
// through the loop; its result() then raises CancelledError.
PyObject* future_cancel(PyObject* self_object, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    if (awaitable(self_object).state != Wait::pending) Py_RETURN_FALSE;
    const bool given = nargs > 0 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0);
    if (!cancel_wait(self_object, given ? args[0] : nullptr)) return nullptr;
    Py_RETURN_TRUE;
}

PyObject* future_done(PyObject* self, PyObject*) {
    const Wait state = awaitable(self).state;
    return PyBool_FromLong(state == Wait::resolved || state == Wait::cancelled);
}

PyObject* future_cancelled(PyObject* self, PyObject*) {
    return PyBool_FromLong(awaitable(self).state == Wait::cancelled);
}

// result(): what the task checks when it wakes. The message itself is the await's result.
PyObject* future_result(PyObject* self_object, PyObject*) {
    MessageAwaitable& self = awaitable(self_object);
    switch (self.state) {
        case Wait::cancelled:
            if (self.cancel_message != nullptr && self.cancel_message != Py_None) {
                PyErr_SetObject(asyncio_names.cancelled_error, self.cancel_message);
            } else {
                PyErr_SetNone(asyncio_names.cancelled_error);
            }
            return nullptr;
        case Wait::pending:
            PyErr_SetString(asyncio_names.invalid_state_error, "Result is not ready.");
            return nullptr;
        default:
            Py_RETURN_NONE;
    }
}

PyObject* future_exception(PyObject* self_object, PyObject*) {
    if (awaitable(self_object).state == Wait::resolved) Py_RETURN_NONE;
    return future_result(self_object, nullptr);
}

// None until it waits, so that asyncio.isfuture() takes a fresh awaitable for what it is, an
// awaitable to wrap in a task (ensure_future, gather), and not for a future.
PyObject* get_blocking(PyObject* self, void*) {
    if (awaitable(self).state == Wait::idle) Py_RETURN_NONE;
    return PyBool_FromLong(awaitable(self).blocking);
}

int set_blocking(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete _asyncio_future_blocking");
        return -1;
    }
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    awaitable(self).blocking = truth != 0;
    return 0;
}

template <typename F>
PyCFunction method(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"send", awaitable_send, METH_O, nullptr},
    {"throw", method(awaitable_throw), METH_FASTCALL, nullptr},
    {"close", awaitable_close, METH_NOARGS, nullptr},
    {"get_loop", future_get_loop, METH_NOARGS, nullptr},
    {"add_done_callback", method(future_add_done_callback), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"remove_done_callback", future_remove_done_callback, METH_O, nullptr},
    {"cancel", method(future_cancel), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"done", future_done, METH_NOARGS, nullptr},
    {"cancelled", future_cancelled, METH_NOARGS, nullptr},
    {"result", future_result, METH_NOARGS, nullptr},
    {"exception", future_exception, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"_asyncio_future_blocking", get_blocking, set_blocking, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_am_await, reinterpret_cast<void*>(awaitable_self)},
    {Py_tp_iter, reinterpret_cast<void*>(awaitable_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(awaitable_step)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_traverse, reinterpret_cast<void*>(awaitable_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(awaitable_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(awaitable_dealloc)},
    {0, nullptr},
};

PyType_Spec spec = {"_corvane_ws_module.MessageAwaitable", sizeof(MessageAwaitable), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                    slots};

}  // namespace

void init_awaitable_type(py::module_& asyncio) {
    awaitable_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    asyncio_names = AsyncioNames{PyUnicode_InternFromString("call_soon"),
                                 PyUnicode_InternFromString("context"),
                                 py::object(asyncio.attr("CancelledError")).release().ptr(),
                                 py::object(asyncio.attr("InvalidStateError")).release().ptr(),
                                 py::object(asyncio.attr("get_running_loop")).release().ptr(),
                                 PyObject_CallNoArgs(PyExc_StopIteration)};
    if (awaitable_type == nullptr || asyncio_names.stop_iteration == nullptr) {
        throw py::error_already_set();
    }
}

}  // namespace corvane
