// decode_mexc(): a MEXC protobuf push frame as a dict, built straight from the decoder's
// findings (mexc/protobuf_decoder.hpp).

#include <pybind11/pybind11.h>

#include <array>
#include <vector>

#include "mexc/protobuf_decoder.hpp"
#include "module/bindings.hpp"

namespace py = pybind11;

namespace corvane {
namespace {

// Field names, interned once.
std::array<PyObject*, mexc::kProtoFieldIds> names{};

PyObject* name_of(const mexc::ProtoField& field) {
    PyObject*& name = names[field.id];
    if (name == nullptr) name = PyUnicode_InternFromString(field.name);
    if (name == nullptr) throw py::error_already_set();
    return name;
}

// A stack of the dicts and lists being filled; each value goes into the innermost.
class PythonBuilder final : public mexc::ProtoBuilder {
public:
    ~PythonBuilder() override {
        for (PyObject* open : stack)
            Py_DECREF(open);
        Py_XDECREF(pending_key);
        Py_XDECREF(result);
    }

    py::object take() { return py::reinterpret_steal<py::object>(std::exchange(result, nullptr)); }

    void begin_message() override { open(PyDict_New()); }
    void end_message() override { close(); }
    void begin_list() override { open(PyList_New(0)); }
    void end_list() override { close(); }
    void key(const mexc::ProtoField& field) override { pending_key = Py_NewRef(name_of(field)); }
    void number_key(std::uint32_t number) override { pending_key = check(PyLong_FromLong(number)); }
    void text(std::string_view value) override {
        add(check(
            PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "strict")));
    }
    void bytes(std::string_view value) override {
        add(check(PyBytes_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()))));
    }
    void integer(std::int64_t value) override { add(check(PyLong_FromLongLong(value))); }
    void boolean(bool value) override { add(Py_NewRef(value ? Py_True : Py_False)); }

private:
    static PyObject* check(PyObject* object) {
        if (object == nullptr) throw py::error_already_set();
        return object;
    }

    void open(PyObject* container) {
        check(container);
        keys.push_back(std::exchange(pending_key, nullptr));
        stack.push_back(container);
    }

    void close() {
        PyObject* done = stack.back();
        stack.pop_back();
        pending_key = keys.back();
        keys.pop_back();
        if (stack.empty()) {
            result = done;
        } else {
            add(done);
        }
    }

    // Takes over `value` and puts it into the innermost container.
    void add(PyObject* value) {
        PyObject* into = stack.back();
        int failed = 0;
        if (PyList_Check(into)) {
            failed = PyList_Append(into, value);
        } else {
            failed = PyDict_SetItem(into, pending_key, value);
            Py_CLEAR(pending_key);
        }
        Py_DECREF(value);
        if (failed != 0) throw py::error_already_set();
    }

    std::vector<PyObject*> stack;  // references
    std::vector<PyObject*> keys;   // the key each open container goes under
    PyObject* pending_key = nullptr;
    PyObject* result = nullptr;
};

py::object decode_mexc(const py::buffer& data) {
    const py::buffer_info view = data.request();
    PythonBuilder builder;
    mexc::decode_push(std::string_view(static_cast<const char*>(view.ptr),
                                       static_cast<std::size_t>(view.size * view.itemsize)),
                      builder);
    return builder.take();
}

}  // namespace

void bind_decode(py::module_& m) {
    m.def("decode_mexc", &decode_mexc, py::arg("data"), R"doc(
A MEXC protobuf push frame (PushDataV3ApiWrapper) as a dict: the wrapper's fields and its body
under the names of MEXC's .proto files (camelCase); prices and quantities stay str, as MEXC sends
them; a body this module does not know is kept under its field number, as bytes. A malformed
frame raises ValueError.)doc");
}

}  // namespace corvane
