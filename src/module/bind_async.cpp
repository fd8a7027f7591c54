// Binding of wsrun_async() and AsyncWebSocketIterator: `async for` over the same queue as
// wsrun(). Each __anext__ returns an awaitable of a small C type. When a message is queued, its
// first step returns it at once: no future, no trip through the event loop. Otherwise it
// registers an eventfd with the queue and the loop (add_reader) and yields itself, as a future
// the task can wait on. Once the run thread has written the descriptor, the loop's callback takes
// the message and resumes the task right there, without another turn of the loop; the run thread
// never takes the GIL. A cancelled wait takes nothing, so every message stays queued for the next
// reader.

#include <pybind11/pybind11.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <utility>

#include "module/bindings.hpp"
#include "module/gil.hpp"
#include "module/loop_loan.hpp"
#include "module/message_object.hpp"

namespace py = pybind11;

namespace corvane {
namespace {

// What wsrun_async() returns. Its eventfd, its loop callbacks and a spare awaitable are made
// once and reused by every wait and every message. None holds a reference to the iterator, so
// no cycle keeps it alive.
struct AsyncWebSocketIterator {
    explicit AsyncWebSocketIterator(BaseExchangeConnector* connector)
        : connector(connector), loan(*connector) {}
    AsyncWebSocketIterator(const AsyncWebSocketIterator&) = delete;
    AsyncWebSocketIterator& operator=(const AsyncWebSocketIterator&) = delete;
    ~AsyncWebSocketIterator() {
        forget_loop();
        Py_XDECREF(spare);
        Py_XDECREF(readable_callback);
        Py_XDECREF(socket_callback);
        if (fd >= 0) close(fd);
    }
    // Stops the loop watching `fd` (before `fd` closes, or when another loop takes over).
    void forget_loop() noexcept {
        if (loop == nullptr) return;
        loan.end(fd, loop);
        stop_reading(loop, fd);
        Py_CLEAR(loop);
    }

    BaseExchangeConnector* connector;       // kept alive by the Python object's keep-alive
    int fd = -1;                            // its eventfd, written only while `waiter` waits
    PyObject* loop = nullptr;               // the loop watching `fd`, from the first wait on
    PyObject* waiter = nullptr;             // the awaitable waiting on `fd` (borrowed: it holds us)
    PyObject* readable_callback = nullptr;  // the loop's callback for `fd`
    PyObject* socket_callback = nullptr;    // the loop's callback for the lent socket
    PyObject* spare = nullptr;              // an awaitable no one else holds, to be used again
    LoopLoan loan;                          // the connector's loop, lent to `waiter`'s loop
};

// Where the wait of an awaitable stands.
enum class Wait : char {
    none,       // not waiting: taking at once, or finished
    pending,    // yielded to the task, watching `fd`
    resolved,   // a message (`outcome`) or the end of the stream (no `outcome`) came
    cancelled,  // the task was cancelled while waiting; nothing was taken
};

// The awaitable of one __anext__. While it waits it is also the future its task waits on: the
// task calls get_loop, add_done_callback, cancel and result on it (asyncio's duck-typed futures).
struct MessageAwaitable {
    PyObject_HEAD PyObject* iterator;  // until it has its result: the AsyncWebSocketIterator object
    PyObject* loop;                    // from the wait until its result has been taken
    PyObject* wakeup;                  // the task's done-callback, until it is called
    PyObject* context;                 // the context to call `wakeup` in
    PyObject* outcome;                 // the message, once resolved
    PyObject* cancel_message;          // the message of cancel(msg)
    int fd;                            // while pending: the eventfd the queue writes, else -1
    bool own_fd;                       // `fd` is this awaitable's own, not its iterator's
    bool blocking;                     // asyncio's _asyncio_future_blocking
    Wait state;
    std::chrono::steady_clock::time_point since;  // while pending: when the wait began
};

PyTypeObject* awaitable_type = nullptr;  // created once, at module initialisation

PyObject* stop_iteration = nullptr;  // an instance raised again while no one else holds it

AsyncWebSocketIterator& iterator_of(PyObject* iterator) {
    auto* inst = reinterpret_cast<py::detail::instance*>(iterator);
    return *static_cast<AsyncWebSocketIterator*>(inst->get_value_and_holder().value_ptr());
}

BaseExchangeConnector& connector_of(PyObject* iterator) {
    return *iterator_of(iterator).connector;
}

MessageAwaitable& awaitable(PyObject* self) {
    return *reinterpret_cast<MessageAwaitable*>(self);
}

// asyncio's names, looked up once: no str or attribute lookup per wait.
struct Names {
    PyObject* call_soon;
    PyObject* context;
    PyObject* cancelled_error;
    PyObject* invalid_state_error;
};
Names names{};

// asyncio.get_running_loop, looked up once (kept for the life of the process).
py::object running_loop() {
    static PyObject* get_running_loop =
        py::object(py::module_::import("asyncio").attr("get_running_loop")).release().ptr();
    return py::reinterpret_steal<py::object>(PyObject_CallNoArgs(get_running_loop));
}

// Ends a step of the awaitable with `value` as the result of the await. The await takes the
// value and drops the exception at once, so one instance serves every message unless someone
// else holds it or it has gathered a traceback.
PyObject* finish_with(py::object value) {
    auto* cached = reinterpret_cast<PyStopIterationObject*>(stop_iteration);
    if (Py_REFCNT(stop_iteration) == 1 && cached->traceback == nullptr &&
        cached->context == nullptr && cached->cause == nullptr) {
        Py_XSETREF(cached->value, value.release().ptr());
        PyErr_SetRaisedException(Py_NewRef(stop_iteration));
        return nullptr;
    }
    PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value.ptr());
    if (stop != nullptr) PyErr_SetRaisedException(stop);
    return nullptr;
}

py::object deliver(BaseExchangeConnector& connector, InboundMessage& message) {
    py::object object = message_object(message);
    connector.give_back(std::move(message.payload));
    return object;
}

// The queue's locks are held only for a swap or a pop: a try first, the GIL given up only
// when another thread holds one.
bool watch(BaseExchangeConnector& connector, int fd) {
    InboundQueue& queue = connector.queue();
    if (const auto registered = queue.try_watch(fd)) return *registered;
    return without_gil([&] { return queue.watch(fd); });
}

void unwatch(BaseExchangeConnector& connector, int fd) {
    InboundQueue& queue = connector.queue();
    if (!queue.try_unwatch(fd)) without_gil([&] { queue.unwatch(fd); });
}

// Stops watching: the queue forgets the descriptor, the loop stops reading it; the iterator's
// descriptor is drained for the next wait, an awaitable's own is closed.
void stop_watching(MessageAwaitable& self) {
    if (self.fd < 0) return;
    const int fd = self.fd;
    self.fd = -1;
    AsyncWebSocketIterator& iterator = iterator_of(self.iterator);
    unwatch(*iterator.connector, fd);
    if (self.own_fd) {
        if (self.loop != nullptr) py::handle(self.loop).attr("remove_reader")(fd);
        close(fd);
    } else {
        eventfd_t stale = 0;
        eventfd_read(fd, &stale);
        iterator.waiter = nullptr;  // the loop keeps watching `fd`: it is quiet until the next wait
    }
}

// Calls the task's done-callback in its context: the task takes its next step now.
void schedule_wakeup(MessageAwaitable& self, PyObject* self_object);
void wake_task(MessageAwaitable& self, PyObject* self_object) {
    if (self.wakeup == nullptr) return;  // no task waits yet: add_done_callback will call it
    const bool enter = self.context != nullptr && self.context != Py_None;
    if (enter && PyContext_Enter(self.context) != 0) {  // entered already: through the loop
        PyErr_Clear();
        return schedule_wakeup(self, self_object);
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

// The task's done-callback through the loop, as a future calls it (cancel() may be called from
// anywhere in the task's own code).
void schedule_wakeup(MessageAwaitable& self, PyObject* self_object) {
    py::object wakeup = py::reinterpret_steal<py::object>(std::exchange(self.wakeup, nullptr));
    py::object context = py::reinterpret_steal<py::object>(std::exchange(self.context, nullptr));
    if (!wakeup) return;
    py::dict options;
    if (context) options[names.context] = context;
    py::handle(self.loop).attr(names.call_soon)(wakeup, py::handle(self_object), **options);
}

void resolve(MessageAwaitable& self, PyObject* self_object, PyObject* outcome) {
    AsyncWebSocketIterator& iterator = iterator_of(self.iterator);
    if (outcome != nullptr) {
        iterator.connector->note_wait(std::chrono::steady_clock::now() - self.since);
    }
    // A loan outlives the wait while the stream stays quiet: the next wait finds it in place.
    if (!self.own_fd && !iterator.connector->is_quiet()) iterator.loan.end(self.fd, iterator.loop);
    stop_watching(self);
    self.outcome = outcome;
    self.state = Wait::resolved;
    wake_task(self, self_object);
}

void ask_for_loan(AsyncWebSocketIterator& iterator, int fd) {
    iterator.loan.ask(fd, iterator.loop, iterator.socket_callback);
}

// Takes the next message for a pending wait, or sees the end of the stream, and resumes the
// task; watches again when another reader was quicker.
void take_for(PyObject* self_object) {
    MessageAwaitable& self = awaitable(self_object);
    if (self.state != Wait::pending) return;
    auto hold = py::reinterpret_borrow<py::object>(self_object);  // the task may let go of it
    BaseExchangeConnector& connector = connector_of(self.iterator);
    for (;;) {
        std::optional<InboundMessage> message;
        try {
            message = connector.try_take();
        } catch (const std::runtime_error&) {  // "No more messages"
            return resolve(self, self_object, nullptr);
        }
        if (message)
            return resolve(self, self_object, deliver(connector, *message).release().ptr());
        if (watch(connector, self.fd)) break;
    }
    if (!self.own_fd) ask_for_loan(iterator_of(self.iterator), self.fd);
}

// Run by the loop once `fd` is readable: a message, the end of the stream, or news of a loan.
void on_readable(PyObject* self_object) {
    MessageAwaitable& self = awaitable(self_object);
    if (self.state != Wait::pending) return;
    eventfd_t ignored = 0;
    eventfd_read(self.fd, &ignored);
    if (!self.own_fd) {
        AsyncWebSocketIterator& iterator = iterator_of(self.iterator);
        iterator.loan.follow(self.fd, iterator.loop, iterator.socket_callback);
    }
    take_for(self_object);
}

// Run by the loop once the iterator's own `fd` is readable: for its waiter, if any; else for a
// wait that has ended since, or with news of a loan.
void on_iterator_fd(AsyncWebSocketIterator& iterator) {
    if (iterator.waiter != nullptr) return on_readable(iterator.waiter);
    eventfd_t stale = 0;
    eventfd_read(iterator.fd, &stale);
    iterator.loan.follow(iterator.fd, iterator.loop, iterator.socket_callback);
}

// Run by the loop once the lent socket is readable; what came is queued even when no one
// waits at the moment.
void on_socket(AsyncWebSocketIterator& iterator) {
    iterator.loan.serve(iterator.fd, iterator.loop);
    if (iterator.waiter != nullptr) take_for(iterator.waiter);
}

int new_eventfd() {
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    return fd;
}

// The descriptor and loop callback of a wait: the iterator's, unless another awaitable of the
// same iterator is waiting already.
py::object claim_descriptor(MessageAwaitable& self, PyObject* self_object) {
    AsyncWebSocketIterator& iterator = iterator_of(self.iterator);
    if (iterator.waiter == nullptr) {
        if (iterator.fd < 0) iterator.fd = new_eventfd();
        if (iterator.readable_callback == nullptr) {
            AsyncWebSocketIterator* owner = &iterator;  // alive while any awaitable waits
            iterator.readable_callback =
                py::cpp_function([owner] { on_iterator_fd(*owner); }).release().ptr();
            iterator.socket_callback =
                py::cpp_function([owner] { on_socket(*owner); }).release().ptr();
        }
        iterator.waiter = self_object;
        self.fd = iterator.fd;
        self.own_fd = false;
        return py::reinterpret_borrow<py::object>(iterator.readable_callback);
    }
    self.fd = new_eventfd();
    self.own_fd = true;
    auto owner = py::reinterpret_borrow<py::object>(self_object);
    return py::cpp_function([owner] { on_readable(owner.ptr()); });
}

// Makes `loop` watch the descriptor of the wait: once for the iterator's own descriptor, each
// time for an awaitable's own.
void watch_with(MessageAwaitable& self, const py::object& loop, const py::object& callback) {
    AsyncWebSocketIterator& iterator = iterator_of(self.iterator);
    if (!self.own_fd && iterator.loop == loop.ptr()) return;
    if (!self.own_fd) iterator.forget_loop();
    loop.attr("add_reader")(self.fd, callback);
    if (!self.own_fd) iterator.loop = Py_NewRef(loop.ptr());
}

// Registers a wait; false when a message came or the stream ended meanwhile.
bool start_wait(MessageAwaitable& self, PyObject* self_object) {
    py::object callback = claim_descriptor(self, self_object);
    try {
        if (!watch(connector_of(self.iterator), self.fd)) {
            stop_watching(self);
            return false;
        }
        py::object loop = running_loop();
        if (!loop) throw py::error_already_set();
        self.loop = Py_NewRef(loop.ptr());
        watch_with(self, loop, callback);
    } catch (...) {
        stop_watching(self);
        throw;
    }
    self.state = Wait::pending;
    self.blocking = true;
    self.since = std::chrono::steady_clock::now();
    if (!self.own_fd) ask_for_loan(iterator_of(self.iterator), self.fd);
    return true;
}

// The await is over: the awaitable lets go of its iterator, and becomes the iterator's spare
// if it has none, since an idle spare holds nothing that could form a cycle.
void retire(MessageAwaitable& self, PyObject* self_object) {
    AsyncWebSocketIterator& iterator = iterator_of(self.iterator);
    if (iterator.spare == nullptr) iterator.spare = Py_NewRef(self_object);
    self.state = Wait::none;
    Py_CLEAR(self.iterator);
    Py_CLEAR(self.loop);
}

PyObject* take_or_wait(PyObject* self_object) {
    MessageAwaitable& self = awaitable(self_object);
    BaseExchangeConnector& connector = connector_of(self.iterator);
    for (;;) {
        std::optional<InboundMessage> message;
        try {
            message = connector.try_take();
        } catch (const std::runtime_error&) {  // "No more messages": the `async for` ends
            PyErr_SetNone(PyExc_StopAsyncIteration);
            return nullptr;
        }
        if (message) {
            py::object value = deliver(connector, *message);
            retire(self, self_object);
            return finish_with(std::move(value));
        }
        if (start_wait(self, self_object)) return Py_NewRef(self_object);  // to the task
    }
}

bool abandon(PyObject* self);

// tp_iternext: one step of the await (the task sends None each time).
PyObject* awaitable_next(PyObject* self_object) {
    MessageAwaitable& self = awaitable(self_object);
    try {
        switch (self.state) {
            case Wait::none:
                return take_or_wait(self_object);
            case Wait::pending:  // resumed early (not by its task): still waiting
                self.blocking = true;
                return Py_NewRef(self_object);
            case Wait::resolved:
                break;
            case Wait::cancelled:  // a task throws CancelledError in instead
                abandon(self_object);
                PyErr_SetNone(names.cancelled_error);
                return nullptr;
        }
        auto outcome = py::reinterpret_steal<py::object>(std::exchange(self.outcome, nullptr));
        retire(self, self_object);
        if (!outcome) {
            PyErr_SetNone(PyExc_StopAsyncIteration);
            return nullptr;
        }
        return finish_with(std::move(outcome));
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

PyObject* awaitable_send(PyObject* self, PyObject* value) {
    if (value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to this awaitable");
        return nullptr;
    }
    return awaitable_next(self);
}

// throw() and close(): the waiting task is being cancelled or closed; the awaitable stops
// watching at once and lets go of everything. False, with the error set, if that failed.
bool abandon(PyObject* self) {
    MessageAwaitable& a = awaitable(self);
    try {
        stop_watching(a);
        a.state = Wait::none;
        Py_CLEAR(a.wakeup);
        Py_CLEAR(a.context);
        Py_CLEAR(a.outcome);
        Py_CLEAR(a.cancel_message);
        Py_CLEAR(a.iterator);
        Py_CLEAR(a.loop);
    } catch (py::error_already_set& e) {
        e.restore();
        return false;
    }
    return true;
}

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
    Py_VISIT(a.wakeup);
    Py_VISIT(a.context);
    Py_VISIT(a.outcome);
    Py_VISIT(a.cancel_message);
    return 0;
}

int awaitable_clear(PyObject* self) {
    PyObject* pending = PyErr_GetRaisedException();
    if (!abandon(self)) PyErr_WriteUnraisable(self);
    PyErr_SetRaisedException(pending);
    return 0;
}

void awaitable_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    awaitable_clear(self);
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
        (nkw == 1 && PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, 0), names.context) != 0)) {
        PyErr_SetString(PyExc_TypeError, "add_done_callback(fn, *, context=None)");
        return nullptr;
    }
    if (self.wakeup != nullptr) {  // only a task waits on it, and a task adds one callback
        PyErr_SetString(PyExc_RuntimeError, "this awaitable has a waiter already");
        return nullptr;
    }
    self.wakeup = Py_NewRef(args[0]);
    self.context = nkw == 1 ? Py_NewRef(args[1]) : nullptr;
    if (self.state != Wait::pending) {  // resolved meanwhile: called soon, as a future would
        try {
            schedule_wakeup(self, self_object);
        } catch (py::error_already_set& e) {
            e.restore();
            return nullptr;
        }
    }
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
    MessageAwaitable& self = awaitable(self_object);
    if (self.state != Wait::pending) Py_RETURN_FALSE;
    PyObject* message = nargs > 0                                               ? args[0]
                        : (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) ? args[0]
                                                                                : nullptr;
    try {
        stop_watching(self);
        self.state = Wait::cancelled;
        Py_XSETREF(self.cancel_message, Py_XNewRef(message));
        schedule_wakeup(self, self_object);
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    }
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
                PyErr_SetObject(names.cancelled_error, self.cancel_message);
            } else {
                PyErr_SetNone(names.cancelled_error);
            }
            return nullptr;
        case Wait::pending:
            PyErr_SetString(names.invalid_state_error, "Result is not ready.");
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
    if (awaitable(self).state == Wait::none) Py_RETURN_NONE;
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

PyMethodDef awaitable_methods[] = {
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

PyGetSetDef awaitable_getset[] = {
    {"_asyncio_future_blocking", get_blocking, set_blocking, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot awaitable_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(awaitable_self)},
    {Py_tp_iter, reinterpret_cast<void*>(awaitable_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(awaitable_next)},
    {Py_tp_methods, awaitable_methods},
    {Py_tp_getset, awaitable_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(awaitable_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(awaitable_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(awaitable_dealloc)},
    {0, nullptr},
};

PyType_Spec awaitable_spec = {
    "_corvane_ws_module.MessageAwaitable", sizeof(MessageAwaitable), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, awaitable_slots};

// __anext__: the iterator's spare awaitable when no one else holds it any more, a new one
// otherwise.
PyObject* new_awaitable(PyObject* iterator) {
    AsyncWebSocketIterator& state = iterator_of(iterator);
    if (state.spare != nullptr && Py_REFCNT(state.spare) == 1) {
        MessageAwaitable& spare = awaitable(state.spare);
        if (spare.iterator == nullptr && spare.state == Wait::none && spare.fd < 0) {
            spare.iterator = Py_NewRef(iterator);
            return Py_NewRef(state.spare);
        }
    }
    auto* self = PyObject_GC_New(MessageAwaitable, awaitable_type);
    if (self == nullptr) return nullptr;
    self->iterator = Py_NewRef(iterator);
    self->loop = nullptr;
    self->wakeup = nullptr;
    self->context = nullptr;
    self->outcome = nullptr;
    self->cancel_message = nullptr;
    self->fd = -1;
    self->own_fd = false;
    self->blocking = false;
    self->state = Wait::none;
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace

void bind_async_iterator(py::module_& m, BaseClass& base) {
    awaitable_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&awaitable_spec));
    stop_iteration = PyObject_CallNoArgs(PyExc_StopIteration);
    py::module_ asyncio = py::module_::import("asyncio");
    names = Names{PyUnicode_InternFromString("call_soon"), PyUnicode_InternFromString("context"),
                  py::object(asyncio.attr("CancelledError")).release().ptr(),
                  py::object(asyncio.attr("InvalidStateError")).release().ptr()};
    if (awaitable_type == nullptr || stop_iteration == nullptr) throw py::error_already_set();
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
        [](BaseExchangeConnector& self) { return std::make_unique<AsyncWebSocketIterator>(&self); },
        py::keep_alive<0, 1>());
}

}  // namespace corvane
