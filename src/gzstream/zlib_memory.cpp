#include "gzstream/zlib_memory.h"

namespace vardo {

static voidpf workspace_alloc(voidpf opaque, uInt items, uInt size) {
  auto &w = *static_cast<ZlibWorkspace *>(opaque);
  size_t bytes = (static_cast<size_t>(items) * size + 15) & ~size_t{15};
  if (bytes > kZlibWorkspaceSize - w.used)
    return Z_NULL; // zlib reports Z_MEM_ERROR: "out of memory"
  voidpf p = w.bytes + w.used;
  w.used += bytes;
  return p;
}

// Memory is given back all at once, when the next zlib stream takes the workspace over.
static void workspace_free(voidpf, voidpf) {}

void use_zlib_workspace(z_stream *z, ZlibWorkspace &w) {
  w.used = 0;
  z->zalloc = workspace_alloc;
  z->zfree = workspace_free;
  z->opaque = &w;
}

void use_zlib_workspace(z_stream *z, StreamState &s) { use_zlib_workspace(z, s.zlib); }

} // namespace vardo
