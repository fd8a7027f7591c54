#include "module/keyword_calls.hpp"

#include <stdexcept>

#include "module/param_conversion.hpp"

namespace py = pybind11;

namespace corvane {
namespace {

const char* const kNotAList = "orders must be a list of dicts with str keys";

std::vector<std::string> names_of(const py::dict& kwargs) {
    std::vector<std::string> names;
    for (const auto& item : kwargs) {
        if (!py::isinstance<py::str>(item.first)) throw py::type_error(kNotAList);
        names.push_back(item.first.cast<std::string>());
    }
    return names;
}

}  // namespace

ParamMap checked_keywords(const BaseExchangeConnector& self, OrderCall call,
                          const py::kwargs& kwargs) {
    self.refuse_unknown(call, names_of(kwargs));
    return to_param_map(kwargs);
}

BatchKeywords batch_keywords(const BaseExchangeConnector& self, OrderCall item,
                             const py::kwargs& kwargs) {
    py::kwargs own;
    py::object orders = py::none();
    for (const auto& pair : kwargs) {
        if (pair.first.cast<std::string>() == "orders") {
            orders = py::reinterpret_borrow<py::object>(pair.second);
        } else {
            own[pair.first] = pair.second;
        }
    }
    BatchKeywords out{checked_keywords(self, OrderCall::batch, own), {}};
    if (orders.is_none()) throw std::invalid_argument("Missing required parameter: orders");
    if (!py::isinstance<py::list>(orders) && !py::isinstance<py::tuple>(orders)) {
        throw py::type_error(kNotAList);
    }
    for (const auto& order : orders) {
        if (!py::isinstance<py::dict>(order)) throw py::type_error(kNotAList);
        const auto keywords = py::reinterpret_borrow<py::kwargs>(order);
        self.refuse_unknown_in_item(item, names_of(keywords));
        out.orders.push_back(to_param_map(keywords));
    }
    return out;
}

py::str reply_text(const std::string& reply) {
    PyObject* text = PyUnicode_DecodeUTF8(reply.data(), static_cast<Py_ssize_t>(reply.size()),
                                          "surrogateescape");
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

std::optional<py::str> optional_reply(const std::optional<std::string>& reply) {
    if (!reply) return std::nullopt;
    return reply_text(*reply);
}

}  // namespace corvane
