// Where the library's log lines go instead of standard error: the Python
// binding hands them to the logging module.
#pragma once

namespace scb {

enum class LogLevel { info, error, debug };

// Called on the thread that made the line, with the line's message alone:
// one line, control characters escaped, no "[CORVANE] [time] LEVEL:" prefix.
// False when it could not take the line, which then goes to standard error.
using LogSink = bool (*)(LogLevel level, const char *message) noexcept;

// Every later line goes to sink.
void set_log_sink(LogSink sink) noexcept;

// Every later line goes to standard error. Returns once no other thread is
// still handing a line to the sink, so that its owner may then tear it down.
void clear_log_sink() noexcept;

}  // namespace scb
