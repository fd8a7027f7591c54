// _corvane_sim_connectors (built with the tests only): connectors that talk to the local
// simulator where the real ones have fixed hosts and long intervals. They are instances of the
// module's own classes, so Python tests go through the module's bindings unchanged.

#include <pybind11/pybind11.h>

#include "mexc/mexc_connector.hpp"
#include "module/bindings.hpp"

namespace py = pybind11;
using namespace corvane;

PYBIND11_MODULE(_corvane_sim_connectors, m) {
    py::module_::import("_corvane_ws_module");  // registers MexcConnector
    m.def(
        "mexc",
        [](const std::string& api_key, const std::string& api_secret, const std::string& api_pass,
           int rest_port, int renewal_ms) {
            MexcSettings settings;
            settings.rest = https::Endpoint{"localhost", std::to_string(rest_port),
                                            std::chrono::milliseconds(3000)};
            settings.listen_key_renewal = std::chrono::milliseconds(renewal_ms);
            return ConnectorHolder<MexcConnector>(
                new MexcConnector(Credentials{api_key, api_secret, api_pass}, settings));
        },
        py::arg("api_key"), py::arg("api_secret"), py::arg("api_pass"), py::arg("rest_port"),
        py::arg("renewal_ms") = 20 * 60 * 1000,
        "A private MexcConnector whose REST host is the simulator on localhost:rest_port.");
}
