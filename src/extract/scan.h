// The constructs that read text again as code, in which no placeholder may stand: a template
// that holds one anywhere takes no placeholder at all, plain value or not, since a value kept in
// a variable reaches it from any part of the template.
//
// Its boundary is what the shells /bin/sh may be (dash, bash, busybox sh, mksh, yash, zsh) read
// again: eval, "." and source, trap, alias, let, "((", "$((" and "[[", array subscripts and the
// other arithmetic of "${...}", read, mapfile, getopts, unset, compgen, "printf -v" and its
// conversions but %s and %b, print's options but -rnlNRe, "test -v" and "test -t" (and an
// expansion among test's or print's words, which may become any option), bash's "{NAME}>", the
// names given to declare, typeset, export, readonly and local, a shell's "-c" argument and what a
// shell reads from its standard input or from a descriptor it names (/dev/stdin, /dev/fd/N), su,
// runuser, flock's "-c", script and emulate, any of them behind a precommand word (command, exec,
// env, time, ...), a command named by an expansion, and an assignment to a name of
// lib/runtime_names.h. Other programs that hand their arguments to a shell or an interpreter (ssh,
// watch, python -c, ...) are outside it.
//
// The template is read crudely on purpose: quotes are looked through, and every place where a
// command may begin is taken for one. Reading it wrong refuses a template that was safe; it
// never lets one through.
#pragma once

namespace vardo {

// True when the template `tmpl` holds such a construct.
bool rereads_as_code(const char *tmpl);

} // namespace vardo
