#pragma once
// MessageAwaitable: the awaitable of one __anext__ of an AsyncWebSocketIterator. A queued
// message is its result at once, without a future or a turn of the loop. Otherwise it waits,
// and while it waits it is also the future its task waits on (asyncio's duck-typed futures:
// get_loop, add_done_callback, cancel, result), resumed straight from the loop's callback.
//
//   state      event                        next       what happens
//   idle       step, a message queued       idle       the await returns the message
//   idle       step, the stream has ended   idle       StopAsyncIteration
//   idle       step, nothing queued         pending    start: armed, held by its watch; yields
//   pending    ready, a message or the end  resolved   resolve: the watch lets go; task resumed
//   pending    ready, nothing after all     pending    armed again
//   pending    cancel                       cancelled  disarmed, the watch lets go; task woken
//   resolved   step                         idle       the message, or StopAsyncIteration
//   cancelled  step                         idle       CancelledError
//   any        throw, close, collected      idle       everything let go
//
// A cancelled wait takes nothing, so every message stays queued for the next reader. Threads:
// under the GIL; `ready` on the thread of the loop the wait runs on.

#include <pybind11/pybind11.h>

namespace corvane {

// am_anext: the iterator's spare awaitable when no one else holds it, a new one otherwise.
PyObject* new_awaitable(PyObject* iterator);
// The watch's callback for a pending awaitable: its descriptor was readable.
void awaitable_ready(PyObject* awaitable);

void init_awaitable_type(pybind11::module_& asyncio);

}  // namespace corvane
