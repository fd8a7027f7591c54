// set_output(): where the module's printed lines go. The core calls the sink on the thread that
// printed a line (a Python thread), or on its writer thread for a connection's lines; the sink
// takes the GIL itself.

#include <pybind11/pybind11.h>

#include <atomic>
#include <memory>

#include "core/text/output.hpp"
#include "module/bindings.hpp"

namespace py = pybind11;

namespace corvane {
namespace {

// A callable given (level, line), or a stream given line + "\n". An exception it raises is
// reported once, and the lines after it are delivered as before.
class PythonSink {
public:
    explicit PythonSink(py::object target)
        : target(target.release().ptr()), stream(!PyCallable_Check(this->target)) {}
    PythonSink(const PythonSink&) = delete;
    PythonSink& operator=(const PythonSink&) = delete;
    ~PythonSink() {
        const PyGILState_STATE gil = PyGILState_Ensure();
        Py_DECREF(target);
        PyGILState_Release(gil);
    }

    void operator()(Level level, const std::string& line) const {
        const PyGILState_STATE gil = PyGILState_Ensure();
        PyObject* text =
            PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace");
        PyObject* done = nullptr;
        if (text != nullptr && stream) {
            PyObject* with_end = PyUnicode_FromFormat("%U\n", text);
            done =
                with_end != nullptr ? PyObject_CallMethod(target, "write", "O", with_end) : nullptr;
            Py_XDECREF(with_end);
            if (done != nullptr && PyObject_HasAttrString(target, "flush") != 0) {
                Py_DECREF(done);
                done = PyObject_CallMethod(target, "flush", nullptr);
            }
        } else if (text != nullptr) {
            done = PyObject_CallFunction(target, "iO", static_cast<int>(level), text);
        }
        if (done == nullptr) report();
        Py_XDECREF(done);
        Py_XDECREF(text);
        PyGILState_Release(gil);
    }

private:
    void report() const {
        if (!reported.exchange(true)) {
            PyErr_WriteUnraisable(target);
        } else {
            PyErr_Clear();
        }
    }

    PyObject* target;
    const bool stream;
    mutable std::atomic<bool> reported{false};
};

void set_output(const py::object& target) {
    if (target.is(py::ellipsis())) {
        set_sink(nullptr);
    } else if (target.is_none()) {
        set_sink(std::make_shared<const Sink>());
    } else if (PyCallable_Check(target.ptr()) != 0 || py::hasattr(target, "write")) {
        auto python = std::make_shared<PythonSink>(target);
        set_sink(std::make_shared<const Sink>(
            [python](Level level, const std::string& line) { (*python)(level, line); }));
    } else {
        throw py::type_error("set_output takes a callable (level, line), a stream, or None");
    }
}

}  // namespace

void bind_output(py::module_& m) {
    m.def("set_output", &set_output, py::arg("callback") = py::ellipsis(), R"doc(
Where the module's printed lines go: callback(level, line) for each, level a logging level
(INFO for what goes to standard output, WARNING or ERROR for standard error), so that
set_output(logging.getLogger("corvane_ws").log) sends them to logging; a stream such as
sys.stdout gets every line written to it; None silences them; set_output() restores standard
output and standard error. The callback runs on the thread whose call printed the line, or on
the module's writer thread for a connection's lines, never on a connection's own thread.)doc");
}

}  // namespace corvane
