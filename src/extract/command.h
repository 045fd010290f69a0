// Command templates ("%o" the output name, "%p" the working directory) and the command run
// after extraction.
#pragma once
#include "archive/header.h"
#include "lib/environment.h"
#include "lib/shell.h"
#include "lib/text.h"

namespace vardo {

constexpr int kCommandSize = 2048;

// What an archive with an empty extract command uses: the payload into a file of the current
// directory, named by the output name.
inline constexpr char kDefaultExtractCommand[] = "cat > %p/%o";

// What the placeholders stand for.
struct TemplateValues {
  const char *out_name;        // %o
  const char *dir;             // %p: the directory the commands run in
  const char *name = nullptr;  // the run command's name ($0) and operands, which the command
  char *const *args = nullptr; // checks before it runs; none for the extract command
};

// A template expanded: the command the shell runs, and the same with each value in its place,
// as the dialogue and the messages show it. Each holds at most 2047 characters and its NUL.
struct ExpandedCommand {
  char text[kCommandSize];
  char shown[kCommandSize];
};

// Expands `tmpl` into `out`. A plain value (letters, digits and "_./:+@%=-", and "," where the
// template holds no "{", which makes a comma or ".." into more words) goes into the text as it
// stands; any other value, the empty one included, as a reference to the variable of the
// command's environment that holds it (extract/quoting.h). "%" before any other character
// stays as it is. Returns 0, or -1 after a message: when the template holds a construct that
// reads text again as code (extract/scan.h) and a placeholder, when a value that is not plain
// stands where its quoting cannot be told, or when the expansion would exceed 2047 characters.
int expand_template(const char *tmpl, const TemplateValues &values, ExpandedCommand *out);

// Refuses, after the message of expand_template, a template that no values can expand: one that
// holds a placeholder and a construct that reads text again as code. Returns 0 or -1.
int check_template(const char *tmpl);

// The environment of a command started for `values`: this process's own, then `extra` items
// (the feature items, for the run command), then the variables that hold the values, which
// nothing else may set. Returns 0, or -1 after a message when memory runs out.
struct CommandEnvironment {
  Environment env;
  char out_name[16 + kTextBufferSize];
  char dir[16 + kCommandSize];
};
int command_environment(CommandEnvironment *ce, const TemplateValues &values, char *const *extra);

// Runs the run command `cmd` as `call` says (its environment, its operands), asking first in
// verbose mode. `path` names the archive and `out_name` the output in the failure message.
// Returns 0 when the command succeeded, or was not run in verbose mode (declined, or no terminal
// to ask at); -1 when it failed, was ended by a signal or could not be started.
int run_post_command(const ExpandedCommand &cmd, const ShellCall &call, const char *path,
                     const char *out_name, bool verbose);

} // namespace vardo
