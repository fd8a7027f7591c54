#pragma once
// Native work without the GIL. The GIL is taken back in ordinary code, never in a destructor:
// while the interpreter finalises, CPython ends any other thread that asks for the GIL by
// unwinding its stack, which must pass neither a noexcept frame (std::terminate) nor
// destructors that touch Python objects without the GIL. Such a thread is parked instead, until
// the process exits.

#include <pybind11/pybind11.h>

#include <exception>
#include <optional>
#include <type_traits>

namespace corvane {

// PyEval_RestoreThread, except that a thread the interpreter would end is parked for good.
void take_back_gil(PyThreadState* state);

template <typename Work>
auto without_gil(Work&& work) -> decltype(work()) {
    using Result = decltype(work());
    PyThreadState* state = PyEval_SaveThread();
    std::exception_ptr error;
    if constexpr (std::is_void_v<Result>) {
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
        take_back_gil(state);
        if (error) std::rethrow_exception(error);
    } else {
        std::optional<Result> result;
        try {
            result.emplace(work());
        } catch (...) {
            error = std::current_exception();
        }
        take_back_gil(state);
        if (error) std::rethrow_exception(error);
        return std::move(*result);
    }
}

}  // namespace corvane
