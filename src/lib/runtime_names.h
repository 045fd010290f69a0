// The environment names an archive may not set for the commands it runs, nor a command template
// assign a value to: one list, for the feature items and the template check alike.
//
// Its boundary: the names whose value the shells /bin/sh may be (dash, bash, busybox sh, mksh,
// yash, zsh), the C library or the dynamic loader read to decide how to run a command, or read
// again as code. A program's own variables (PYTHONPATH, PERL5OPT, ...) are outside it: what the
// run command's programs make of the environment is the archive's author's business, shown in the
// listing's Feature line.
#pragma once
#include <cstddef>

namespace vardo {

// True when the variable `name` (its first `len` bytes) may not be given the value `value` (its
// first `value_len` bytes): a name of the list, or a locale variable (LANG, LC_*, LANGUAGE) whose
// value is not one in which no quote or backslash can stand inside a character: "C", "POSIX", or
// a name whose codeset is UTF-8, without "/" (LANGUAGE: a list of such names, or plain language
// names, separated by ":").
bool is_refused_setting(const char *name, size_t len, const char *value, size_t value_len);

} // namespace vardo
