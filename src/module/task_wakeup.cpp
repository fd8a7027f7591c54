// How a MessageAwaitable resumes the task that waits on it: the task's done-callback, called at
// once from the loop's callback (one turn of the loop sooner than a future would), or through
// the loop when that is not possible.

#include <utility>

#include "module/awaitable_object.hpp"

namespace corvane {

// Calls the task's done-callback in its context: the task takes its next step now.
void wake_task(PyObject* self_object) {
    MessageAwaitable& self = awaitable(self_object);
    if (self.wakeup == nullptr) return;  // no task waits yet: add_done_callback will call it
    const bool enter = self.context != nullptr && self.context != Py_None;
    if (enter && PyContext_Enter(self.context) != 0) {  // entered already: through the loop
        PyErr_Clear();
        if (!schedule_wakeup(self_object)) PyErr_WriteUnraisable(self_object);
        return;
    }
    PyObject* wakeup = std::exchange(self.wakeup, nullptr);
    PyObject* context = std::exchange(self.context, nullptr);
    PyObject* done = PyObject_CallOneArg(wakeup, self_object);  // a task's step catches all
    if (done == nullptr) PyErr_WriteUnraisable(wakeup);
    Py_XDECREF(done);
    if (enter && PyContext_Exit(context) != 0) PyErr_WriteUnraisable(wakeup);
    Py_DECREF(wakeup);
    Py_XDECREF(context);
}

bool schedule_wakeup(PyObject* self_object) {
    MessageAwaitable& self = awaitable(self_object);
    PyObject* wakeup = std::exchange(self.wakeup, nullptr);
    PyObject* context = std::exchange(self.context, nullptr);
    if (wakeup == nullptr) return true;
    PyObject* method = PyObject_GetAttr(self.loop, asyncio_names.call_soon);
    PyObject* args = method != nullptr ? PyTuple_Pack(2, wakeup, self_object) : nullptr;
    PyObject* kwargs =
        context != nullptr ? Py_BuildValue("{OO}", asyncio_names.context, context) : nullptr;
    PyObject* handle = args != nullptr ? PyObject_Call(method, args, kwargs) : nullptr;
    Py_XDECREF(handle);
    Py_XDECREF(kwargs);
    Py_XDECREF(args);
    Py_XDECREF(method);
    Py_DECREF(wakeup);
    Py_XDECREF(context);
    return handle != nullptr;
}

}  // namespace corvane
