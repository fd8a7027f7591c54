#pragma once
// The C layout of a MessageAwaitable and the steps its Python methods share (see
// message_awaitable.hpp for its states); private to message_awaitable.cpp and
// awaitable_protocol.cpp.

#include <pybind11/pybind11.h>

namespace corvane {

enum class Wait : char { idle, pending, resolved, cancelled };

struct MessageAwaitable {
    PyObject_HEAD PyObject* iterator;  // until the await is over: the AsyncWebSocketIterator
    PyObject* loop;                    // from the wait until the await is over
    PyObject* watch;                   // while pending: the watch holding it
    PyObject* wakeup;                  // the task's done-callback, until it is called
    PyObject* context;                 // the context to call `wakeup` in
    PyObject* outcome;                 // once resolved: the message, or the error to raise
    PyObject* cancel_message;          // the message of cancel(msg)
    bool failed;                       // `outcome` is an exception
    bool blocking;                     // asyncio's _asyncio_future_blocking
    Wait state;
};

inline MessageAwaitable& awaitable(PyObject* self) {
    return *reinterpret_cast<MessageAwaitable*>(self);
}

// asyncio's names and objects, looked up once, at module initialisation.
struct AsyncioNames {
    PyObject* call_soon;
    PyObject* context;
    PyObject* cancelled_error;
    PyObject* invalid_state_error;
    PyObject* get_running_loop;
    PyObject* stop_iteration;  // an instance raised again while no one else holds it
};
extern AsyncioNames asyncio_names;
extern PyTypeObject* awaitable_type;

// tp_iternext: one step of the await.
PyObject* awaitable_step(PyObject* self);
// A pending wait stops: it takes nothing; the task is woken through the loop. Python error on
// failure (false).
bool cancel_wait(PyObject* self, PyObject* message);
// Calls the task's done-callback in its context: the task takes its next step now.
void wake_task(PyObject* self);
// The task's done-callback through the loop, as a future calls it. Python error on failure.
bool schedule_wakeup(PyObject* self);
// throw(), close(), collection: lets go of everything. Python error on failure (false).
bool abandon(PyObject* self);

}  // namespace corvane
