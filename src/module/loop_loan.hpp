#pragma once
// LoopLoan: an async iterator's side of a loan of its connector's loop. While the iterator's
// reader waits on a quiet stream, the reader's own event loop watches the connection's socket
// and runs the connection's handlers itself when it is readable, so that a message reaches the
// task without the run thread having to wake the event loop's thread first. The connector
// grants and takes back the loan through the iterator's eventfd (see base_connector.hpp).

#include <pybind11/pybind11.h>

#include "core/base_connector.hpp"

namespace corvane {

// Makes `loop` stop watching `fd` (loop.remove_reader), leaving any Python error as it was; a
// loop that cannot any more is reported as unraisable.
void stop_reading(PyObject* loop, int fd) noexcept;

class LoopLoan {
public:
    explicit LoopLoan(BaseExchangeConnector& connector) : connector(connector) {}
    LoopLoan(const LoopLoan&) = delete;
    LoopLoan& operator=(const LoopLoan&) = delete;

    // Asks for the loop on behalf of the wait on `fd`, when the stream is steadily quiet and no
    // loan of it is under way; follows one under way.
    void ask(int fd, PyObject* loop, PyObject* on_socket);
    // `fd` was readable: a loan granted meanwhile makes `loop` watch the socket with
    // `on_socket`; a loan taken back stops that.
    void follow(int fd, PyObject* loop, PyObject* on_socket);
    // The socket is readable: the handlers that are ready run here, without the GIL. False
    // once the loan is over (it has then been ended): taken back, or given back because more
    // than one message came at once (a busy stream).
    bool serve(int fd, PyObject* loop);
    // Ends the loan, if any: `loop` stops watching the socket, the connector has its loop back
    // and never writes `fd` for this loan again.
    void end(int fd, PyObject* loop) noexcept;
    bool lent() const { return socket >= 0; }

private:
    BaseExchangeConnector& connector;
    bool requested = false;  // asked for, not ended yet
    int socket = -1;         // while lent: the duplicate of the connection's socket `loop` watches
};

}  // namespace corvane
