#pragma once
// The registration steps of the module, in the order the module performs them.

#include <pybind11/pybind11.h>

#include <memory>

#include "core/connector/base_connector.hpp"
#include "module/gil.hpp"

namespace corvane {

// Destroying a connector joins its threads: other Python threads run meanwhile. It goes through
// the virtual destructor, so a connector made by another extension module (the tests' own)
// is destroyed by the code that made it, never by this module's copy of it.
struct ReleaseGilDelete {
    void operator()(BaseExchangeConnector* object) const {
        if (object == nullptr) return;
        if (PyGILState_Check() != 0 && _Py_IsFinalizing() == 0) {
            without_gil([object] { delete object; });
        } else {
            delete object;
        }
    }
};

template <typename T>
using ConnectorHolder = std::unique_ptr<T, ReleaseGilDelete>;

using BaseClass = pybind11::class_<BaseExchangeConnector, ConnectorHolder<BaseExchangeConnector>>;

BaseClass bind_base_connector(pybind11::module_& m);
void bind_okx_connector(pybind11::module_& m);
void bind_mexc_connector(pybind11::module_& m);
void bind_iterator(pybind11::module_& m, BaseClass& base);
void bind_crypto(pybind11::module_& m);
void bind_async_iterator(pybind11::module_& m, BaseClass& base);
void bind_keepalive(BaseClass& base);
void bind_errors(pybind11::module_& m);
void bind_output(pybind11::module_& m);
void bind_decode(pybind11::module_& m);
void bind_meta_objects(pybind11::module_& m);
void bind_books(pybind11::module_& m, BaseClass& base);
// One tracked book's line of stats().
pybind11::dict book_stats(const book::BookKey& key, const book::BookStatus& status);
// At interpreter exit, before finalisation, every connector ends its connection.
void register_exit_hook();

}  // namespace corvane
