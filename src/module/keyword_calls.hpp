#pragma once
// The keyword plumbing of the connector calls (bindings only): each call's keywords checked against those the
// connector reads, converted, and the call run without the GIL.

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

#include "core/connector/base_connector.hpp"
#include "core/text/param_map.hpp"

namespace corvane {

using OrderCall = BaseExchangeConnector::OrderCall;

// The call's keywords, refused (TypeError "Unknown keyword: <name>") when `call` does not read
// one, then converted.
ParamMap checked_keywords(const BaseExchangeConnector& self, OrderCall call,
                          const pybind11::kwargs& kwargs);

// A batch call's own keywords and its "orders": a list (or tuple) of dicts, each checked
// against the keywords of one `item` call.
struct BatchKeywords {
    ParamMap params;
    std::vector<ParamMap> orders;
};
BatchKeywords batch_keywords(const BaseExchangeConnector& self, OrderCall item,
                             const pybind11::kwargs& kwargs);

// The exchange's reply as a str; bytes that are not UTF-8 become lone surrogates, so nothing
// of the reply (the order id) is lost.
pybind11::str reply_text(const std::string& reply);
std::optional<pybind11::str> optional_reply(const std::optional<std::string>& reply);

}  // namespace corvane
