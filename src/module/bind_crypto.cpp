// Binding of CryptoExtensions: two instance methods, no constructor.

#include <pybind11/pybind11.h>

#include "crypto/crypto_extensions.hpp"
#include "module/bindings.hpp"

namespace py = pybind11;

namespace corvane {

void bind_crypto(py::module_& m) {
    py::class_<CryptoExtensions, std::unique_ptr<CryptoExtensions>>(m, "CryptoExtensions")
        .def("encode64", &CryptoExtensions::encode64)
        .def("CalcHmacSHA256", &CryptoExtensions::CalcHmacSHA256);
}

}  // namespace corvane
