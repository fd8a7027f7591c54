#include "module/loop_loan.hpp"

#include <unistd.h>

#include <utility>

#include "module/gil.hpp"

namespace corvane {

using Loan = BaseExchangeConnector::Loan;

void stop_reading(PyObject* loop, int fd) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* done = PyObject_CallMethod(loop, "remove_reader", "i", fd);
    if (done == nullptr) PyErr_WriteUnraisable(loop);
    Py_XDECREF(done);
    PyErr_SetRaisedException(pending);
}

// The connector's lock is only ever held briefly and never by a thread that waits for the GIL,
// so these calls keep the GIL; only running the handlers gives it up.
void LoopLoan::ask(int fd, PyObject* loop, PyObject* on_socket) {
    // The news of a loan asked for may have been read with a message's: look again.
    if (requested) return follow(fd, loop, on_socket);
    if (connector.steadily_quiet()) requested = connector.request_loan(fd);
}

void LoopLoan::follow(int fd, PyObject* loop, PyObject* on_socket) {
    if (!requested) return;
    switch (connector.loan(fd)) {
        case Loan::requested:  // a message came first
            return;
        case Loan::none:  // taken back: the run thread needed its loop
            return end(fd, loop);
        case Loan::lent:
            if (socket >= 0) return;
            socket = connector.loan_socket(fd);
            if (socket < 0) return end(fd, loop);
            PyObject* done = PyObject_CallMethod(loop, "add_reader", "iO", socket, on_socket);
            if (done == nullptr) {
                end(fd, loop);
                throw pybind11::error_already_set();
            }
            Py_DECREF(done);
            // Handlers may be ready with nothing more to read (a record already buffered).
            serve(fd, loop);
            return;
    }
}

bool LoopLoan::serve(int fd, PyObject* loop) {
    if (socket < 0) return false;
    const int came = without_gil([&] { return connector.serve_loan(fd); });
    if (came >= 0 && came <= 1) return true;
    // More than one at a time: the stream is busy, and the run thread had better decrypt and
    // frame it in parallel with Python again.
    if (came > 1) connector.note_wait(std::chrono::steady_clock::duration::zero());
    end(fd, loop);
    return false;
}

void LoopLoan::end(int fd, PyObject* loop) noexcept {
    if (!requested) return;
    requested = false;
    if (socket >= 0) {
        const int watched = std::exchange(socket, -1);
        stop_reading(loop, watched);
        close(watched);
    }
    connector.end_loan(fd);
}

}  // namespace corvane
