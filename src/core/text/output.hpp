#pragma once
// The lines the module prints on standard output and standard error. A line never waits for a
// stream that does not take it (a pipe nobody drains): while the stream takes it, it is written
// before print_line returns, exactly as a flushed std::cout line would be; otherwise it joins a
// bounded queue that a module-wide writer thread drains in order. Lines beyond the bound are
// counted, and one line says how many once the stream takes lines again.
//
// A sink (set_output) takes the lines instead: called on the thread that printed a line, or, for
// a line printed on a connection's own thread, on the writer thread, so that a connection never
// waits for the sink.
//
// Threads: any. The output lock is the innermost of all locks (see websocket_connector.hpp);
// nothing blocks under it, and the sink is never called under it.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace corvane {

enum class Stream { out, err };
// As Python's logging levels.
enum class Level { info = 20, warning = 30, error = 40 };

// Standard output lines are of level info, standard error lines of level error.
void print_line(Stream stream, std::string_view line);
void print_line(Stream stream, std::string_view line, Level level);

// Where lines go instead of the standard streams: `sink` (an empty function drops them);
// nullptr: the standard streams again.
using Sink = std::function<void(Level, const std::string&)>;
void set_sink(std::shared_ptr<const Sink> sink);

// Marks the calling thread as a connection's own for the scope: its lines never reach a sink
// on this thread.
class ConnectionThreadScope {
public:
    ConnectionThreadScope();
    ~ConnectionThreadScope();
    ConnectionThreadScope(const ConnectionThreadScope&) = delete;
    ConnectionThreadScope& operator=(const ConnectionThreadScope&) = delete;
};

// Waits until every line queued so far has been handed on, then lets the writer thread go; for
// the interpreter's exit. A stream that never takes anything again keeps it waiting, as a
// flush of Python's own would.
void flush_output();

}  // namespace corvane
