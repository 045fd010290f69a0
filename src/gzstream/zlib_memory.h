#pragma once
#include <zlib.h>

#include "gzstream/stream.h"

namespace vardo {

// Points a z_stream's allocator at the fixed workspace `w`, which it takes over from whatever zlib
// stream used it before. No heap is used on the data path, and a stream abandoned by the abort
// path leaves nothing behind.
void use_zlib_workspace(z_stream *z, ZlibWorkspace &w);
// The same with the workspace of the stream `s`.
void use_zlib_workspace(z_stream *z, StreamState &s);

} // namespace vardo
