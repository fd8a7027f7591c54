#include "module/loop_watch.hpp"

#include <memory>

#include "module/message_awaitable.hpp"

namespace py = pybind11;

namespace corvane {
namespace {

// How often a loop with a waiting reader tells the connector that it runs: well within a third
// of the dead-man switch's shortest period (10 s), which is how often that switch is refreshed.
constexpr double kBeatSeconds = 1.0;

struct Watch {
    PyObject_HEAD EventReader* reader;  // owned
    PyObject* loop;                     // the loop it is registered with
    PyObject* waiter;                   // the pending awaitable, or null
    bool retired;
    bool beating;  // a beat is scheduled on the loop
};

PyTypeObject* watch_type = nullptr;
PyObject* remove_reader_name = nullptr;
PyObject* call_later_name = nullptr;
PyObject* beat_delay = nullptr;

Watch& watch(PyObject* self) {
    return *reinterpret_cast<Watch*>(self);
}

// The loop has found the descriptor readable: a retired watch unregisters itself; otherwise
// the pending wait, if any, takes what came.
PyObject* watch_call(PyObject* self_object, PyObject*, PyObject*) {
    Watch& self = watch(self_object);
    self.reader->clear();
    if (self.retired) {
        PyObject* fd = PyLong_FromLong(self.reader->fd());
        PyObject* done =
            fd != nullptr ? PyObject_CallMethodOneArg(self.loop, remove_reader_name, fd) : nullptr;
        Py_XDECREF(fd);
        if (done == nullptr) return nullptr;
        Py_DECREF(done);
        Py_RETURN_NONE;
    }
    if (self.waiter != nullptr) {
        PyObject* waiter = Py_NewRef(self.waiter);  // the wait may let go of it
        awaitable_ready(waiter);
        Py_DECREF(waiter);
        if (PyErr_Occurred() != nullptr) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* watch_beat(PyObject* self, PyObject*);

PyMethodDef beat_method = {"beat", watch_beat, METH_NOARGS, nullptr};

// Schedules the next beat unless one is scheduled; null with the error set when the loop
// refused it.
PyObject* schedule_beat(PyObject* self_object) {
    Watch& self = watch(self_object);
    if (self.beating || self.retired) Py_RETURN_NONE;
    PyObject* beat = PyCFunction_New(&beat_method, self_object);
    if (beat == nullptr) return nullptr;
    PyObject* handle =
        PyObject_CallMethodObjArgs(self.loop, call_later_name, beat_delay, beat, nullptr);
    Py_DECREF(beat);
    if (handle == nullptr) return nullptr;
    Py_DECREF(handle);
    self.beating = true;
    Py_RETURN_NONE;
}

// The loop has run while a reader waited on it: that counts as reading, and the next beat goes
// while the reader still waits. A frozen loop runs no beat.
PyObject* watch_beat(PyObject* self_object, PyObject*) {
    Watch& self = watch(self_object);
    self.beating = false;
    if (self.retired || self.waiter == nullptr) Py_RETURN_NONE;
    self.reader->loop_ran();
    return schedule_beat(self_object);
}

int watch_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(watch(self).loop);
    Py_VISIT(watch(self).waiter);
    return 0;
}

int watch_clear(PyObject* self) {
    Py_CLEAR(watch(self).waiter);
    Py_CLEAR(watch(self).loop);
    return 0;
}

void watch_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    watch_clear(self);
    delete watch(self).reader;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot watch_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(watch_call)},
    {Py_tp_traverse, reinterpret_cast<void*>(watch_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(watch_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(watch_dealloc)},
    {0, nullptr},
};

PyType_Spec watch_spec = {
    "_corvane_ws_module.LoopWatch", sizeof(Watch), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, watch_slots};

}  // namespace

py::object new_watch(BaseExchangeConnector& connector, PyObject* loop) {
    auto reader = std::make_unique<EventReader>(connector.queue());
    auto* self = PyObject_GC_New(Watch, watch_type);
    if (self == nullptr) throw py::error_already_set();
    self->reader = reader.release();
    self->loop = Py_NewRef(loop);
    self->waiter = nullptr;
    self->retired = false;
    self->beating = false;
    PyObject_GC_Track(self);
    auto object = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(self));
    py::handle(loop).attr("add_reader")(self->reader->fd(), object);
    return object;
}

EventReader& watch_reader(PyObject* self) {
    return *watch(self).reader;
}

PyObject* watch_loop(PyObject* self) {
    return watch(self).loop;
}

PyObject* watch_waiter(PyObject* self) {
    return watch(self).waiter;
}

void set_waiter(PyObject* self, PyObject* awaitable) {
    Py_XSETREF(watch(self).waiter, Py_XNewRef(awaitable));
}

void keep_beating(PyObject* self) {
    PyObject* done = schedule_beat(self);
    if (done == nullptr) throw py::error_already_set();
    Py_DECREF(done);
}

void retire_watch(PyObject* self) {
    Watch& w = watch(self);
    if (w.retired) return;
    w.retired = true;
    w.reader->detach();
    w.reader->poke();
}

void init_watch_type() {
    watch_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&watch_spec));
    remove_reader_name = PyUnicode_InternFromString("remove_reader");
    call_later_name = PyUnicode_InternFromString("call_later");
    beat_delay = PyFloat_FromDouble(kBeatSeconds);
    if (watch_type == nullptr || remove_reader_name == nullptr || call_later_name == nullptr ||
        beat_delay == nullptr) {
        throw py::error_already_set();
    }
}

}  // namespace corvane
