#include "gzstream/zlib_memory.h"

#include "gzstream/stream.h"

namespace vardo {

static voidpf workspace_alloc(voidpf, uInt items, uInt size) {
  size_t bytes = (static_cast<size_t>(items) * size + 15) & ~size_t{15};
  if (bytes > kZlibWorkspaceSize - stream.zlib_used)
    return Z_NULL; // zlib reports Z_MEM_ERROR: "out of memory"
  voidpf p = stream.zlib_workspace + stream.zlib_used;
  stream.zlib_used += bytes;
  return p;
}

// Memory is given back all at once, when the next stream takes the workspace over.
static void workspace_free(voidpf, voidpf) {}

void use_zlib_workspace(z_stream *z) {
  stream.zlib_used = 0;
  z->zalloc = workspace_alloc;
  z->zfree = workspace_free;
  z->opaque = Z_NULL;
}

} // namespace vardo
