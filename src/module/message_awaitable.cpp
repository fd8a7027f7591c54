// The states of a MessageAwaitable and the steps between them (the table is in the header).
// Every call into Python that may run the task (wake_task) comes last in its step, with no
// C++ object of ours left holding Python references and outside every catch handler: if the
// interpreter ends the thread meanwhile (a daemon thread at exit), the unwinding passes
// through nothing that could touch Python or abort.

#include "module/message_awaitable.hpp"

#include <chrono>
#include <utility>

#include "module/async_iterator.hpp"
#include "module/awaitable_object.hpp"
#include "module/gil.hpp"
#include "module/loop_watch.hpp"
#include "module/take_message.hpp"

namespace py = pybind11;

namespace corvane {

namespace {

// One take, without waiting, for the await.
Taken take(MessageAwaitable& self) {
    const AsyncWebSocketIterator& iterator = iterator_of(self.iterator);
    return take_message(*iterator.connector, std::chrono::milliseconds(0), iterator.meta);
}

// Ends a step with `value` (a reference, taken over) as the result of the await. The await
// takes the value and drops the exception at once, so one instance serves every message
// unless someone else holds it or it has gathered a traceback.
PyObject* finish_with(PyObject* value) {
    PyObject* stop_iteration = asyncio_names.stop_iteration;
    auto* cached = reinterpret_cast<PyStopIterationObject*>(stop_iteration);
    if (Py_REFCNT(stop_iteration) == 1 && cached->traceback == nullptr &&
        cached->context == nullptr && cached->cause == nullptr) {
        Py_XSETREF(cached->value, value);
        PyErr_SetRaisedException(Py_NewRef(stop_iteration));
        return nullptr;
    }
    PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value);
    Py_DECREF(value);
    if (stop != nullptr) PyErr_SetRaisedException(stop);
    return nullptr;
}

// The queue's locks are held only for a swap or a pop: a try first, the GIL given up only when
// another thread holds one. True once armed, false when a message can be taken now.
bool arm(PyObject* watch) {
    EventReader& reader = watch_reader(watch);
    if (const auto armed = reader.try_arm()) return *armed;
    return without_gil([&] { return reader.arm(); });
}

void disarm(PyObject* watch) {
    EventReader& reader = watch_reader(watch);
    if (!reader.try_disarm()) without_gil([&] { reader.disarm(); });
}

// The watch of a wait on `loop`: the iterator's, when it watches that loop and no other wait
// holds it; otherwise a new one, which the iterator keeps unless another wait holds its own.
py::object watch_for(AsyncWebSocketIterator& iterator, PyObject* loop) {
    PyObject* current = iterator.watch;
    if (current != nullptr && watch_waiter(current) == nullptr) {
        if (watch_loop(current) == loop) return py::reinterpret_borrow<py::object>(current);
        retire_watch(current);  // the reader has moved to another loop
        Py_CLEAR(iterator.watch);
    }
    py::object fresh = new_watch(*iterator.connector, loop);
    if (iterator.watch == nullptr) iterator.watch = Py_NewRef(fresh.ptr());
    return fresh;
}

// The wait is over: its watch lets go of the awaitable, and retires if it served this wait
// alone. The watch's reference to the awaitable goes last: the caller must hold one of its own.
void release_watch(MessageAwaitable& self, PyObject* self_object) {
    PyObject* held = std::exchange(self.watch, nullptr);
    if (held == nullptr) return;
    if (iterator_of(self.iterator).watch != held) retire_watch(held);
    if (watch_waiter(held) == self_object) set_waiter(held, nullptr);
    Py_DECREF(held);
}

// The await is over: the awaitable lets go of its iterator and becomes the iterator's spare if
// it has none (an idle spare holds nothing that could form a cycle).
void finish(MessageAwaitable& self, PyObject* self_object) {
    AsyncWebSocketIterator& iterator = iterator_of(self.iterator);
    if (iterator.spare == nullptr) iterator.spare = Py_NewRef(self_object);
    self.state = Wait::idle;
    Py_CLEAR(self.iterator);
    Py_CLEAR(self.loop);
}

// Registers a wait on the running loop: true once pending, false when a message came or the
// stream ended meanwhile (take instead).
bool start_wait(PyObject* self_object) {
    MessageAwaitable& self = awaitable(self_object);
    auto loop =
        py::reinterpret_steal<py::object>(PyObject_CallNoArgs(asyncio_names.get_running_loop));
    if (!loop) throw py::error_already_set();
    AsyncWebSocketIterator& iterator = iterator_of(self.iterator);
    py::object watch = watch_for(iterator, loop.ptr());
    keep_beating(watch.ptr());  // before arming: a beat with no waiter does nothing
    if (!arm(watch.ptr())) {
        if (watch.ptr() != iterator.watch) retire_watch(watch.ptr());
        return false;
    }
    set_waiter(watch.ptr(), self_object);
    self.watch = watch.release().ptr();
    self.loop = loop.release().ptr();
    self.state = Wait::pending;
    self.blocking = true;
    return true;
}

PyObject* take_or_wait(PyObject* self_object) {
    MessageAwaitable& self = awaitable(self_object);
    for (;;) {
        Taken taken = take(self);
        if (taken.kind == Taken::Kind::message) {
            finish(self, self_object);
            return finish_with(taken.message.release().ptr());
        }
        if (taken.kind == Taken::Kind::end) {
            finish(self, self_object);
            PyErr_SetNone(PyExc_StopAsyncIteration);
            return nullptr;
        }
        if (start_wait(self_object)) return Py_NewRef(self_object);  // to the task, as a future
    }
}

// `outcome`: the message, the error to raise (`failed`), or null for the end of the stream.
void resolve(PyObject* self_object, PyObject* outcome, bool failed) {
    MessageAwaitable& self = awaitable(self_object);
    self.outcome = outcome;
    self.failed = failed;
    self.state = Wait::resolved;
    release_watch(self, self_object);
    wake_task(self_object);
}

}  // namespace

void awaitable_ready(PyObject* self_object) {
    MessageAwaitable& self = awaitable(self_object);
    if (self.state != Wait::pending) return;
    PyObject* outcome = nullptr;
    bool failed = false;
    try {
        Taken taken = take(self);
        while (taken.kind == Taken::Kind::nothing) {  // another reader was quicker
            if (arm(self.watch)) return;
            taken = take(self);
        }
        outcome = taken.message.release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
        outcome = PyErr_GetRaisedException();
        failed = true;
    }
    resolve(self_object, outcome, failed);
}

PyObject* awaitable_step(PyObject* self_object) {
    MessageAwaitable& self = awaitable(self_object);
    try {
        switch (self.state) {
            case Wait::idle:
                return take_or_wait(self_object);
            case Wait::pending:  // resumed early (not by its task): still waiting
                self.blocking = true;
                return Py_NewRef(self_object);
            case Wait::cancelled:  // a task throws CancelledError in instead
                if (abandon(self_object)) PyErr_SetNone(asyncio_names.cancelled_error);
                return nullptr;
            case Wait::resolved:
                break;
        }
        PyObject* outcome = std::exchange(self.outcome, nullptr);
        const bool failed = self.failed;
        finish(self, self_object);
        if (failed) {
            PyErr_SetRaisedException(outcome);
            return nullptr;
        }
        if (outcome == nullptr) {
            PyErr_SetNone(PyExc_StopAsyncIteration);
            return nullptr;
        }
        return finish_with(outcome);
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

bool cancel_wait(PyObject* self_object, PyObject* message) {
    MessageAwaitable& self = awaitable(self_object);
    disarm(self.watch);
    self.state = Wait::cancelled;
    Py_XSETREF(self.cancel_message, Py_XNewRef(message));
    release_watch(self, self_object);
    return schedule_wakeup(self_object);
}

bool abandon(PyObject* self_object) {
    MessageAwaitable& self = awaitable(self_object);
    if (self.state == Wait::pending) {
        try {
            disarm(self.watch);
        } catch (py::error_already_set& e) {
            e.restore();
            return false;
        }
    }
    self.state = Wait::idle;
    if (self.iterator != nullptr) release_watch(self, self_object);
    Py_CLEAR(self.wakeup);
    Py_CLEAR(self.context);
    Py_CLEAR(self.outcome);
    Py_CLEAR(self.cancel_message);
    Py_CLEAR(self.iterator);
    Py_CLEAR(self.loop);
    return true;
}

PyObject* new_awaitable(PyObject* iterator) {
    AsyncWebSocketIterator& state = iterator_of(iterator);
    if (state.spare != nullptr && Py_REFCNT(state.spare) == 1) {
        MessageAwaitable& spare = awaitable(state.spare);
        if (spare.iterator == nullptr && spare.state == Wait::idle && spare.watch == nullptr) {
            spare.iterator = Py_NewRef(iterator);
            return Py_NewRef(state.spare);
        }
    }
    auto* self = PyObject_GC_New(MessageAwaitable, awaitable_type);
    if (self == nullptr) return nullptr;
    self->iterator = Py_NewRef(iterator);
    self->loop = self->watch = self->wakeup = self->context = nullptr;
    self->outcome = self->cancel_message = nullptr;
    self->failed = self->blocking = false;
    self->state = Wait::idle;
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace corvane
