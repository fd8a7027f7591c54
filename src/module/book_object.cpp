#include "module/book_object.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <new>
#include <string>

#include "core/book/book_sync.hpp"
#include "module/level_objects.hpp"

namespace py = pybind11;

namespace corvane {
namespace {

using book::KeptBook;
using book::Side;

struct BookObject {
    PyObject_HEAD std::shared_ptr<KeptBook>* book;
};

PyTypeObject* book_type = nullptr;

const KeptBook& kept(PyObject* self) {
    return **reinterpret_cast<BookObject*>(self)->book;
}

// Runs `read`, turning a C++ exception into the Python error it stands for.
template <class Read>
PyObject* guarded(Read&& read) {
    try {
        return read();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// The one optional argument of a call (positional or by `name`); null when absent, and false
// with a TypeError set when the call is malformed.
bool one_argument(const char* call, const char* name, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, PyObject** out) {
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    *out = nargs == 1 ? args[0] : nullptr;
    bool ok = nargs + nkw <= 1;
    if (ok && nkw == 1) {
        ok = PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), name) == 0;
        *out = args[0];
    }
    if (!ok) PyErr_Format(PyExc_TypeError, "%s() takes one optional argument, %s", call, name);
    return ok;
}

// None (or absent): every level; otherwise at least 1. -1 with an error set.
long long depth_of(PyObject* depth) {
    if (depth == nullptr || depth == Py_None) return 0;
    if (!PyLong_Check(depth) || PyBool_Check(depth)) {
        PyErr_SetString(PyExc_TypeError, "depth must be an int or None");
        return -1;
    }
    const long long n = PyLong_AsLongLong(depth);
    if (n == -1 && PyErr_Occurred()) return -1;
    if (n < 1) {
        PyErr_SetString(PyExc_ValueError, "depth must be 1 or more, or None for every level");
        return -1;
    }
    return n;
}

template <Side side>
PyObject* book_levels(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    PyObject* depth = nullptr;
    if (!one_argument(side == Side::bid ? "bids" : "asks", "depth", args, nargs, kwnames,
                      &depth)) {
        return nullptr;
    }
    const long long n = depth_of(depth);
    if (n < 0) return nullptr;
    return guarded([&] {
        return level_list(kept(self).top(side, static_cast<std::size_t>(n))).release().ptr();
    });
}

template <Side side>
PyObject* book_best(PyObject* self, PyObject*) {
    return guarded([&] { return level_pair(kept(self).best(side)).release().ptr(); });
}

PyObject* book_snapshot(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* depth = nullptr;
    if (!one_argument("snapshot", "depth", args, nargs, kwnames, &depth)) return nullptr;
    const long long n = depth_of(depth);
    if (n < 0) return nullptr;
    return guarded([&] {
        const KeptBook::Copy copy = kept(self).copy(static_cast<std::size_t>(n));
        return py::make_tuple(copy.seq, copy.synced, level_list(copy.bids),
                              level_list(copy.asks))
            .release()
            .ptr();
    });
}

PyObject* book_wait_synced(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyObject* timeout = nullptr;
    if (!one_argument("wait_synced", "timeout", args, nargs, kwnames, &timeout)) return nullptr;
    double seconds = 1e6;  // "no limit": about eleven days, within what the clock can add
    if (timeout != nullptr && timeout != Py_None) {
        seconds = PyFloat_AsDouble(timeout);
        if (seconds == -1.0 && PyErr_Occurred()) return nullptr;
        if (!(seconds >= 0)) {
            PyErr_SetString(PyExc_ValueError, "timeout must be 0 or more seconds, or None");
            return nullptr;
        }
    }
    // In slices, so that Ctrl-C (a signal handler that raises) ends the wait.
    constexpr std::chrono::milliseconds kSlice{100};
    auto left =
        std::chrono::milliseconds(static_cast<std::int64_t>(std::min(seconds, 1e6) * 1000));
    const KeptBook& book = kept(self);
    while (true) {
        const auto wait = std::min(left, kSlice);
        bool synced = false;
        Py_BEGIN_ALLOW_THREADS synced = book.wait_synced(wait);
        Py_END_ALLOW_THREADS if (synced || left <= wait) return PyBool_FromLong(synced);
        if (PyErr_CheckSignals() != 0) return nullptr;
        left -= wait;
    }
}

PyObject* book_synced(PyObject* self, void*) {
    return PyBool_FromLong(kept(self).status().synced);
}
PyObject* book_seq(PyObject* self, void*) {
    return PyLong_FromLongLong(kept(self).status().seq);
}
PyObject* book_ts(PyObject* self, void*) {
    return PyLong_FromLongLong(kept(self).status().ts);
}
PyObject* book_applied(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(kept(self).status().applied);
}
PyObject* book_version(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(kept(self).version());
}
PyObject* book_memory(PyObject* self, void*) {
    return PyLong_FromSize_t(kept(self).status().memory_bytes);
}
PyObject* book_resyncs(PyObject* self, void*) {
    return guarded([&] {
        const book::BookStatus status = kept(self).status();
        py::dict out;
        for (std::size_t i = 0; i < status.resyncs.size(); ++i)
            out[book::resync_reason_text(static_cast<book::ResyncReason>(i))] = status.resyncs[i];
        return out.release().ptr();
    });
}
PyObject* book_channel(PyObject* self, void*) {
    const std::string& text = kept(self).key.channel;
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}
PyObject* book_instrument(PyObject* self, void*) {
    const std::string& text = kept(self).key.instrument;
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* book_repr(PyObject* self) {
    const KeptBook& book = kept(self);
    const book::BookStatus status = book.status();
    const std::string text = "<Book " + book.key.channel + " " + book.key.instrument + " " +
                             (status.synced ? "synced" : "out of sync") +
                             " seq=" + std::to_string(status.seq) + ">";
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

void book_dealloc(PyObject* self) {
    delete reinterpret_cast<BookObject*>(self)->book;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef book_methods[] = {
    {"bids", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(book_levels<Side::bid>)),
     kFastKeywords,
     "bids(depth=None): the best depth bids (all for None), highest first, as [(price, size)] "
     "Decimal pairs; [] while out of sync."},
    {"asks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(book_levels<Side::ask>)),
     kFastKeywords,
     "asks(depth=None): the best depth asks (all for None), lowest first, as [(price, size)] "
     "Decimal pairs; [] while out of sync."},
    {"best_bid", book_best<Side::bid>, METH_NOARGS,
     "best_bid(): the best bid as (price, size), or None (also while out of sync)."},
    {"best_ask", book_best<Side::ask>, METH_NOARGS,
     "best_ask(): the best ask as (price, size), or None (also while out of sync)."},
    {"snapshot", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(book_snapshot)),
     kFastKeywords,
     "snapshot(depth=None): (seq, synced, bids, asks) at one moment, as bids() and asks() give "
     "them."},
    {"wait_synced", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(book_wait_synced)),
     kFastKeywords,
     "wait_synced(timeout=None): waits until the book is synced, at most timeout seconds (None: "
     "no limit), the GIL released; whether it is."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef book_getset[] = {
    {"channel", book_channel, nullptr, "The channel (OKX) or stream (MEXC).", nullptr},
    {"instrument", book_instrument, nullptr, "The instrument (OKX instId, MEXC symbol).", nullptr},
    {"synced", book_synced, nullptr, "Whether the book is in step with the exchange's.", nullptr},
    {"seq", book_seq, nullptr,
     "The exchange's sequence of the last push applied (OKX seqId, MEXC version).", nullptr},
    {"ts", book_ts, nullptr, "The exchange's time (ms) of the last push applied; 0: none given.",
     nullptr},
    {"applied", book_applied, nullptr, "Pushes and snapshots applied since tracking began.",
     nullptr},
    {"resyncs", book_resyncs, nullptr,
     "Resyncs by reason: start, gap, reconnect, crossed, snapshot_failed.", nullptr},
    {"version", book_version, nullptr,
     "A number that changes whenever the levels or the sync change.", nullptr},
    {"memory_bytes", book_memory, nullptr, "Bytes the book's levels take.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot book_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("An order book kept by the connector on its connection's thread "
                       "(track_book). Reads are consistent copies, never a half-applied push; "
                       "out of sync (before its first sync, and from a resync until the next) it "
                       "shows no levels.")},
    {Py_tp_methods, book_methods},
    {Py_tp_getset, book_getset},
    {Py_tp_repr, reinterpret_cast<void*>(book_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(book_dealloc)},
    {0, nullptr},
};

PyType_Spec book_spec = {"_corvane_ws_module.Book", sizeof(BookObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, book_slots};

}  // namespace

py::object new_book(std::shared_ptr<KeptBook> book) {
    auto* self = PyObject_New(BookObject, book_type);
    if (self == nullptr) throw py::error_already_set();
    self->book = new std::shared_ptr<KeptBook>(std::move(book));
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(self));
}

void bind_book_type(py::module_& m) {
    book_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&book_spec));
    if (book_type == nullptr) throw py::error_already_set();
    m.add_object("Book",
                 py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(book_type)));
}

}  // namespace corvane
