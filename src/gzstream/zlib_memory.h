#pragma once
#include <zlib.h>

namespace vardo {

// Points a z_stream's allocator at the stream state's fixed workspace, which it takes over from
// whatever stream used it before. No heap is used on the data path, and a stream abandoned by the
// abort path leaves nothing behind.
void use_zlib_workspace(z_stream *z);

} // namespace vardo
