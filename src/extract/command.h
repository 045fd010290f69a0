// Command templates ("%o" the output name, "%p" the working directory) and the command run
// after extraction.
#pragma once

namespace vardo {

constexpr int kCommandSize = 2048;

// What an archive with an empty extract command uses: the payload into a file of the current
// directory, named by the output name.
inline constexpr char kDefaultExtractCommand[] = "cat > %p/%o";

// Expands a template into a new zero-filled 2048-byte heap buffer that the caller frees. Each
// value is written so that the shell reads exactly its bytes as data (extract/quoting.h says
// how); "%" before any other character stays as it is. Returns null after a message when a value
// cannot be promised to stay data where the template puts it, when the expansion would exceed 2047
// characters or when the directory is unknown.
char *expand_template(const char *tmpl);

// Expands and runs the run command after the feature items have been exported, asking first in
// verbose mode. Returns 0 when it was not run, else the wait status from `system`.
int run_post_command(const char *path);

} // namespace vardo
