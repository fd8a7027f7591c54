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

// The dicts being filled, innermost last; each value goes where the last key() or item() said.
class PythonBuilder final : public mexc::ProtoBuilder {
public:
    ~PythonBuilder() override {
        for (const Open& open : stack)
            Py_DECREF(open.dict);
        Py_XDECREF(result);
    }

    py::object take() { return py::reinterpret_steal<py::object>(std::exchange(result, nullptr)); }

    void begin_message() override {
        stack.push_back(Open{check(PyDict_New()), target});
        target = Target{};
    }
    void end_message() override {
        const Open done = stack.back();
        stack.pop_back();
        target = done.under;
        if (stack.empty()) {
            result = done.dict;
        } else {
            add(done.dict);
        }
    }
    void key(const mexc::ProtoField& field) override { target = Target{name_of(field), nullptr}; }
    void item(const mexc::ProtoField& field) override {
        PyObject* dict = stack.back().dict;
        PyObject* name = name_of(field);
        PyObject* list = PyDict_GetItemWithError(dict, name);  // borrowed
        if (list == nullptr) {
            if (PyErr_Occurred() != nullptr) throw py::error_already_set();
            list = check(PyList_New(0));
            const int failed = PyDict_SetItem(dict, name, list);
            Py_DECREF(list);  // the dict holds it
            if (failed != 0) throw py::error_already_set();
        }
        target = Target{nullptr, list};
    }
    void number_key(std::uint32_t number) override {
        number_name = py::reinterpret_steal<py::object>(check(PyLong_FromLong(number)));
        target = Target{number_name.ptr(), nullptr};
    }
    void text(std::string_view value) override {
        add(check(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()),
                                       "strict")));
    }
    void bytes(std::string_view value) override {
        add(check(
            PyBytes_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()))));
    }
    void integer(std::int64_t value) override { add(check(PyLong_FromLongLong(value))); }
    void boolean(bool value) override { add(Py_NewRef(value ? Py_True : Py_False)); }

private:
    struct Target {
        PyObject* key = nullptr;   // borrowed: the value goes into the innermost dict under it
        PyObject* list = nullptr;  // borrowed: or is appended to this list
    };
    struct Open {
        PyObject* dict;  // a reference
        Target under;    // where it goes once complete
    };

    static PyObject* check(PyObject* object) {
        if (object == nullptr) throw py::error_already_set();
        return object;
    }

    // Takes over `value`.
    void add(PyObject* value) {
        const int failed = target.list != nullptr
                               ? PyList_Append(target.list, value)
                               : PyDict_SetItem(stack.back().dict, target.key, value);
        Py_DECREF(value);
        if (failed != 0) throw py::error_already_set();
    }

    std::vector<Open> stack;
    Target target;
    py::object number_name;  // the key of an unknown body
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
