// The errors of REST calls as Python classes (RuntimeError subclasses that keep their texts),
// and a keyword an order call does not read as TypeError.

#include <pybind11/pybind11.h>

#include "core/rest/request_errors.hpp"
#include "core/text/param_map.hpp"
#include "module/bindings.hpp"

namespace py = pybind11;

namespace corvane {
namespace {

struct ErrorTypes {
    PyObject* refused;
    PyObject* unknown;
    PyObject* not_sent;
};
ErrorTypes types{};  // made once, at module initialisation, and kept for the process

PyObject* new_error_type(py::module_& m, const char* name, const char* doc) {
    const std::string qualified = std::string("_corvane_ws_module.") + name;
    PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, PyExc_RuntimeError, nullptr);
    if (type == nullptr) throw py::error_already_set();
    m.add_object(name, py::reinterpret_borrow<py::object>(type));
    return type;
}

void raise_refused(const RequestRefused& e) {
    py::object error = py::reinterpret_borrow<py::object>(types.refused)(e.what());
    error.attr("status") = e.status;
    PyObject* body = PyUnicode_DecodeUTF8(e.body.data(), static_cast<Py_ssize_t>(e.body.size()),
                                          "surrogateescape");
    if (body == nullptr) throw py::error_already_set();
    error.attr("body") = py::reinterpret_steal<py::object>(body);
    error.attr("retry_after") = e.retry_after ? py::object(py::float_(*e.retry_after)) : py::none();
    PyErr_SetObject(types.refused, error.ptr());
}

void translate(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const RequestRefused& e) {
        raise_refused(e);
    } catch (const RequestOutcomeUnknown& e) {
        PyErr_SetString(types.unknown, e.what());
    } catch (const RequestNotSent& e) {
        PyErr_SetString(types.not_sent, e.what());
    } catch (const UnknownKeyword& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    }
}

}  // namespace

void bind_errors(py::module_& m) {
    types.refused = new_error_type(
        m, "RequestRefused",
        "The exchange refused the request; nothing was done. .status (the HTTP status), .body "
        "(its answer), .retry_after (seconds it asks to wait, or None).");
    types.unknown = new_error_type(
        m, "RequestOutcomeUnknown",
        "The request was sent but no whole answer came, or a 5xx one: it may have been carried "
        "out. Query before sending it again.");
    types.not_sent =
        new_error_type(m, "RequestNotSent", "The request never left; nothing was done.");
    py::register_exception_translator(&translate);
}

}  // namespace corvane
