#include "module/gil.hpp"

#include <cxxabi.h>

#include <chrono>
#include <thread>

namespace corvane {

void take_back_gil(PyThreadState* state) {
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind&) {
        // The interpreter is finalising and ends this thread. Leaving this handler would end the
        // process (the unwind may not be stopped), and going on unwinding would run destructors
        // without the GIL: the thread waits here for the process to exit instead.
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

}  // namespace corvane
