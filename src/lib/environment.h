// The environment a command is started with, built as an array beside this process's own: this
// process never changes its own environment for a command, so nothing a command is given can
// change how the tool itself runs (its locale, its messages).
#pragma once

namespace vardo {

// "NAME=value" entries, each name once, in a NULL-terminated array (an aplist) that posix_spawn
// takes as it is. The entries are not copied: each must live until the command has started.
struct Environment {
  void **entries = nullptr;
};

// Starts `env` with the entries of `base` (this process's environ). Returns 0, or -1 with errno
// set when memory runs out.
int environment_start(Environment *env, char **base);

// Sets `entry` ("NAME=value"), replacing an entry of the same name. Returns 0, or -1 with errno
// set when memory runs out.
int environment_set(Environment *env, char *entry);

// The array to hand to the command.
char **environment_array(const Environment &env);

// Frees the array (not the entries).
void environment_end(Environment *env);

} // namespace vardo
