#include "gzstream/zlib_memory.h"

namespace vardo {

static voidpf workspace_alloc(voidpf opaque, uInt items, uInt size) {
  auto &s = *static_cast<StreamState *>(opaque);
  size_t bytes = (static_cast<size_t>(items) * size + 15) & ~size_t{15};
  if (bytes > kZlibWorkspaceSize - s.zlib_used)
    return Z_NULL; // zlib reports Z_MEM_ERROR: "out of memory"
  voidpf p = s.zlib_workspace + s.zlib_used;
  s.zlib_used += bytes;
  return p;
}

// Memory is given back all at once, when the next zlib stream takes the workspace over.
static void workspace_free(voidpf, voidpf) {}

void use_zlib_workspace(z_stream *z, StreamState &s) {
  s.zlib_used = 0;
  z->zalloc = workspace_alloc;
  z->zfree = workspace_free;
  z->opaque = &s;
}

} // namespace vardo
