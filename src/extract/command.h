// Command templates ("%o" the output name, "%p" the working directory) and the command run
// after extraction.
#pragma once
#include "archive/header.h"

namespace vardo {

constexpr int kCommandSize = 2048;

// What an archive with an empty extract command uses: the payload into a file of the current
// directory, named by the output name.
inline constexpr char kDefaultExtractCommand[] = "cat > %p/%o";

// Expands a template, "%o" standing for `out_name`, into a new zero-filled 2048-byte heap buffer
// that the caller frees. Each value is written so that the shell reads exactly its bytes as data
// (extract/quoting.h says how); "%" before any other character stays as it is. Returns null after
// a message when a value cannot be promised to stay data where the template puts it, when the
// expansion would exceed 2047 characters or when the directory is unknown.
char *expand_template(const char *tmpl, const char *out_name);

// Runs the run command `cmd`, expanded from that of `h`, after the feature items of `h` have been
// exported, asking first in verbose mode. `path` names the archive and `out_name` the output in
// the failure message. Returns 0 when the command succeeded, or was not run in verbose mode
// (declined, or no terminal to ask at); -1 when it failed, was ended by a signal or could not be
// started.
int run_post_command(const ArchiveHeader &h, const char *cmd, const char *path,
                     const char *out_name, bool verbose);

} // namespace vardo
