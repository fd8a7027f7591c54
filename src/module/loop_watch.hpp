#pragma once
// Watch: an event loop's watch over an EventReader (event_reader.hpp), the callback the loop
// calls (add_reader) whenever the reader's eventfd is readable. While a wait is pending the watch
// holds the waiting awaitable, so the loop keeps it, and the task awaiting it, alive, as it keeps
// a task waiting on a future of its own. Only this callback, on the loop's own thread, calls
// remove_reader: a watch that is no longer needed is retired, which pokes its descriptor, and
// the loop lets go of it on its next turn. So no destructor ever calls into Python (at exit that
// would end a daemon thread inside a destructor, and abort). While a wait is pending the watch
// also beats: a callback the loop runs every second, which counts as a read, so that a waiting
// reader keeps the dead-man switch alive only while its loop runs.
//
// Threads: any, under the GIL; the loop calls it on the loop's thread.

#include <pybind11/pybind11.h>

#include "core/connector/base_connector.hpp"
#include "core/inbound/event_reader.hpp"

namespace corvane {

// A new watch of `loop` over `connector`'s queue, registered with loop.add_reader. Throws
// pybind11::error_already_set.
pybind11::object new_watch(BaseExchangeConnector& connector, PyObject* loop);

EventReader& watch_reader(PyObject* watch);
PyObject* watch_loop(PyObject* watch);    // borrowed
PyObject* watch_waiter(PyObject* watch);  // borrowed, null when no wait is pending
// Makes `awaitable` the pending waiter (the watch holds a reference), or none (nullptr).
void set_waiter(PyObject* watch, PyObject* awaitable);
// While a waiter is pending, the loop tells the connector every second that it runs (a read,
// for the dead-man switch): schedules that beat on the loop unless it is scheduled. Throws
// pybind11::error_already_set.
void keep_beating(PyObject* watch);
// The watch is done with: it stops watching the queue and the loop lets go of it.
void retire_watch(PyObject* watch);

void init_watch_type();

}  // namespace corvane
