// Module entry: registers the classes in the order Python programs have always seen them.

#include <pybind11/pybind11.h>

#include "module/bindings.hpp"
#include "module/docstrings.hpp"

PYBIND11_MODULE(_corvane_ws_module, m) {
    m.doc() = corvane::doc::kModule;
    auto base = corvane::bind_base_connector(m);
    corvane::bind_okx_connector(m);
    corvane::bind_mexc_connector(m);
    corvane::bind_iterator(m, base);
    corvane::bind_crypto(m);
    corvane::bind_async_iterator(m, base);
    corvane::bind_keepalive(base);
    corvane::bind_errors(m);
    corvane::bind_meta_objects(m);
    corvane::bind_output(m);
    corvane::bind_decode(m);
    corvane::bind_books(m, base);  // added later than the rest: registered after it
    m.attr("__version__") = CORVANE_VERSION;
    corvane::register_exit_hook();
}
