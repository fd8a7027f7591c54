// Binding of wsrun_async() and AsyncWebSocketIterator: `async for` over the same queue as
// wsrun(). Each __anext__ returns an awaitable of a small C type. When a message is queued, its
// first step returns it at once: no future, no trip through the event loop. Otherwise it
// registers an eventfd with the queue and the loop (add_reader) and yields a future, which the
// loop resolves once the run thread has written the descriptor; the run thread never takes the
// GIL. A cancelled wait takes nothing, so every message stays queued for the next reader.

#include <pybind11/pybind11.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "module/bindings.hpp"
#include "module/gil.hpp"
#include "module/message_object.hpp"

namespace py = pybind11;

namespace corvane {
namespace {

// What wsrun_async() returns. Its eventfd, its reader callback and a spare awaitable are made
// once and reused by every wait and every message. None holds a reference to the iterator, so
// no cycle keeps it alive.
struct AsyncWebSocketIterator {
    explicit AsyncWebSocketIterator(BaseExchangeConnector* connector) : connector(connector) {}
    AsyncWebSocketIterator(const AsyncWebSocketIterator&) = delete;
    AsyncWebSocketIterator& operator=(const AsyncWebSocketIterator&) = delete;
    ~AsyncWebSocketIterator() {
        forget_loop();
        Py_XDECREF(spare);
        Py_XDECREF(readable_callback);
        if (fd >= 0) close(fd);
    }
    // Stops the loop watching `fd` (before `fd` closes, or when another loop takes over).
    void forget_loop() noexcept {
        if (loop == nullptr) return;
        PyObject* pending = PyErr_GetRaisedException();
        PyObject* done = PyObject_CallMethod(loop, "remove_reader", "i", fd);
        if (done == nullptr) PyErr_WriteUnraisable(loop);  // a loop that cannot any more
        Py_XDECREF(done);
        PyErr_SetRaisedException(pending);
        Py_CLEAR(loop);
    }

    BaseExchangeConnector* connector;       // kept alive by the Python object's keep-alive
    int fd = -1;                            // its eventfd, written only while `waiter` waits
    PyObject* loop = nullptr;               // the loop watching `fd`, from the first wait on
    PyObject* waiter = nullptr;             // the awaitable waiting on `fd` (borrowed: it holds us)
    PyObject* readable_callback = nullptr;  // the loop's callback for `fd`
    PyObject* spare = nullptr;              // an awaitable no one else holds, to be used again
};

// The awaitable of one __anext__.
struct MessageAwaitable {
    PyObject_HEAD PyObject* iterator;  // until it has its result: the AsyncWebSocketIterator object
    PyObject* loop;                    // while waiting: the loop watching `fd`
    PyObject* future;                  // from the wait until its result has been taken
    int fd;                            // while waiting: the eventfd the queue writes, else -1
    bool own_fd;                       // `fd` is this awaitable's own, not its iterator's
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

// The names of the wait path, interned once: no str is made per call.
struct Names {
    PyObject* done;
    PyObject* set_result;
    PyObject* set_exception;
    PyObject* create_future;
    PyObject* blocking;
    PyObject* result;
};
Names names{};

py::object checked(PyObject* result) {
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

py::object call(PyObject* object, PyObject* name) {
    return checked(PyObject_CallMethodNoArgs(object, name));
}

py::object call(PyObject* object, PyObject* name, PyObject* argument) {
    return checked(PyObject_CallMethodOneArg(object, name, argument));
}

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

py::object end_of_stream() {
    return py::reinterpret_steal<py::object>(PyObject_CallNoArgs(PyExc_StopAsyncIteration));
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
void stop_waiting(MessageAwaitable& self) {
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
    Py_CLEAR(self.loop);
}

// Run by the loop once `fd` is readable: resolves the future with the next message or the end
// of the stream, or watches again when another reader was quicker.
void on_readable(PyObject* self_object) {
    MessageAwaitable& self = awaitable(self_object);
    if (self.fd < 0) return;
    eventfd_t ignored = 0;
    eventfd_read(self.fd, &ignored);
    py::object future = py::reinterpret_borrow<py::object>(self.future);
    if (call(future.ptr(), names.done).ptr() == Py_True) {  // cancelled: leave them queued
        stop_waiting(self);
        return;
    }
    BaseExchangeConnector& connector = connector_of(self.iterator);
    for (;;) {
        std::optional<InboundMessage> message;
        try {
            message = connector.try_take();
        } catch (const std::runtime_error&) {  // "No more messages"
            stop_waiting(self);
            call(future.ptr(), names.set_exception, end_of_stream().ptr());
            return;
        }
        if (message) {
            py::object value = deliver(connector, *message);
            stop_waiting(self);
            call(future.ptr(), names.set_result, value.ptr());
            return;
        }
        if (watch(connector, self.fd)) return;
    }
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
            iterator.readable_callback = py::cpp_function([owner] {
                                             if (owner->waiter != nullptr) {
                                                 on_readable(owner->waiter);
                                             } else {  // written for a wait that has ended since
                                                 eventfd_t stale = 0;
                                                 eventfd_read(owner->fd, &stale);
                                             }
                                         })
                                             .release()
                                             .ptr();
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
            stop_waiting(self);
            return false;
        }
        py::object loop = running_loop();
        if (!loop) throw py::error_already_set();
        self.loop = Py_NewRef(loop.ptr());
        watch_with(self, loop, callback);
        py::object future = call(loop.ptr(), names.create_future);
        if (PyObject_SetAttr(future.ptr(), names.blocking, Py_True) != 0) {
            throw py::error_already_set();
        }
        self.future = future.release().ptr();
    } catch (...) {
        stop_waiting(self);
        throw;
    }
    return true;
}

// The await is over: the awaitable lets go of its iterator, and becomes the iterator's spare
// if it has none, since an idle spare holds nothing that could form a cycle.
void retire(MessageAwaitable& self, PyObject* self_object) {
    AsyncWebSocketIterator& iterator = iterator_of(self.iterator);
    if (iterator.spare == nullptr) iterator.spare = Py_NewRef(self_object);
    Py_CLEAR(self.iterator);
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
        if (start_wait(self, self_object)) return Py_NewRef(self.future);  // yielded to the task
    }
}

// tp_iternext: one step of the await (the task sends None each time).
PyObject* awaitable_next(PyObject* self_object) {
    MessageAwaitable& self = awaitable(self_object);
    try {
        if (self.future == nullptr) return take_or_wait(self_object);
        // Resumed: the future is done (a message, the end of the stream, or cancelled).
        stop_waiting(self);
        auto future = py::reinterpret_steal<py::object>(self.future);
        self.future = nullptr;
        retire(self, self_object);
        return finish_with(call(future.ptr(), names.result));
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
    try {
        stop_waiting(awaitable(self));
        Py_CLEAR(awaitable(self).future);
        Py_CLEAR(awaitable(self).iterator);
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
    Py_VISIT(awaitable(self).iterator);
    Py_VISIT(awaitable(self).loop);
    Py_VISIT(awaitable(self).future);
    return 0;
}

int awaitable_clear(PyObject* self) {
    MessageAwaitable& a = awaitable(self);
    if (a.fd >= 0) {
        PyObject* pending = PyErr_GetRaisedException();
        try {
            stop_waiting(a);
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("clearing an awaitable of AsyncWebSocketIterator");
        }
        PyErr_SetRaisedException(pending);
    }
    Py_CLEAR(a.future);
    Py_CLEAR(a.loop);
    Py_CLEAR(a.iterator);
    return 0;
}

void awaitable_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    awaitable_clear(self);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef awaitable_methods[] = {
    {"send", awaitable_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(awaitable_throw)),
     METH_FASTCALL, nullptr},
    {"close", awaitable_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot awaitable_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(awaitable_self)},
    {Py_tp_iter, reinterpret_cast<void*>(awaitable_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(awaitable_next)},
    {Py_tp_methods, awaitable_methods},
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
        if (spare.iterator == nullptr && spare.future == nullptr && spare.fd < 0) {
            spare.iterator = Py_NewRef(iterator);
            return Py_NewRef(state.spare);
        }
    }
    auto* self = PyObject_GC_New(MessageAwaitable, awaitable_type);
    if (self == nullptr) return nullptr;
    self->iterator = Py_NewRef(iterator);
    self->loop = nullptr;
    self->future = nullptr;
    self->fd = -1;
    self->own_fd = false;
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace

void bind_async_iterator(py::module_& m, BaseClass& base) {
    awaitable_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&awaitable_spec));
    stop_iteration = PyObject_CallNoArgs(PyExc_StopIteration);
    names = Names{PyUnicode_InternFromString("done"),
                  PyUnicode_InternFromString("set_result"),
                  PyUnicode_InternFromString("set_exception"),
                  PyUnicode_InternFromString("create_future"),
                  PyUnicode_InternFromString("_asyncio_future_blocking"),
                  PyUnicode_InternFromString("result")};
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
