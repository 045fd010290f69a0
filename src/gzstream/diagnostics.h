// Fatal diagnostics of the stream layer, each naming what the stream reads or writes, then the
// abort path (lib/process.h).
#pragma once

#include "gzstream/stream.h"

namespace vardo {

// A reader that goes away, or a file that reaches the size limit (ulimit -f), must show as a
// failed write (EPIPE, EFBIG) with the write-error report, not as a silent death by SIGPIPE or
// SIGXFSZ. A caught signal, unlike an ignored one, is reset to the default in the commands the
// tool starts, so they still see both signals as usual.
void catch_write_signals();

// "\n<program>: <input name>: <message>".
[[noreturn]] void fatal_error(const StreamState &s, const char *message);
// The failed read of the input, or its unexpected end when errno is 0.
[[noreturn]] void read_error_exit(const StreamState &s);
// The failed write of the output, named by the output name unless it is empty.
[[noreturn]] void write_error_exit(const StreamState &s);

} // namespace vardo
