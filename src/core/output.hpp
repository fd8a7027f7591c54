#pragma once
// The lines the module prints on standard output and standard error. A line never waits for a
// stream that does not take it (a pipe nobody drains): while the stream takes it, it is written
// before print_line returns, exactly as a flushed std::cout line would be; otherwise it joins a
// bounded queue that a module-wide writer thread drains in order. Lines beyond the bound are
// counted, and one line says how many once the stream takes lines again.
//
// Threads: any, Python's or a connection's. The output lock is the innermost of all locks (see
// websocket_connector.hpp) and is never held while anything blocks.

#include <string_view>

namespace corvane {

enum class Stream { out, err };

void print_line(Stream stream, std::string_view line);

// Waits until every line queued so far has been written, then lets the writer thread go; for
// the interpreter's exit. A stream that never takes anything again keeps it waiting, as a
// flush of Python's own would.
void flush_output();

}  // namespace corvane
