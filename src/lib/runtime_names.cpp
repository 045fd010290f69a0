#include "lib/runtime_names.h"

#include <cctype>
#include <cstring>

#include "lib/text.h"

namespace vardo {

// The shells' start-up files, options and parsing (ENV, BASH_ENV, SHELLOPTS, IFS, the prompts,
// which "set -x" expands, with zsh's names for those of select and "set -x" and yash's style, the
// search paths, HOME for "~" and cd, FPATH for the functions mksh and zsh load on first use,
// TMPPREFIX for zsh's here-documents, STTY, which zsh hands to stty through its parser, yash's
// handler of commands not found, bash's $"..." translations), the variables bash, mksh and zsh
// evaluate as arithmetic when assigned (a subscript there runs commands: zsh's HISTSIZE and the
// like, zsh's UID and DIRSTACKSIZE, REPORTTIME read after a command, mksh's KSHUID, PGRP and the
// like), zsh's MODULE_PATH, from which it loads code, the arrays that
// define aliases and functions (bash's BASH_ALIASES and BASH_CMDS, zsh's aliases and functions),
// and what the C library and the loader load code or settings from.
static const char kNames[] =
    "ENV BASH_ENV BASHOPTS SHELLOPTS BASH_XTRACEFD BASH_COMPAT BASH_LOADABLES_PATH POSIXLY_CORRECT "
    "IFS PS1 PS2 PS3 PS4 PS4S PROMPT3 PROMPT4 PROMPT_COMMAND PATH CDPATH HOME GLOBIGNORE "
    "EXECIGNORE FUNCNEST TMOUT MAIL MAILPATH MAILCHECK HISTFILE FPATH ZDOTDIR NULLCMD READNULLCMD "
    "COMMAND_NOT_FOUND_HANDLER ECHO_STYLE TEXTDOMAIN TEXTDOMAINDIR RANDOM SRANDOM SECONDS OPTIND "
    "LINENO HISTCMD COLUMNS LINES PPID TMPPREFIX GCONV_PATH LOCPATH MUSL_LOCPATH NLSPATH "
    "GLIBC_TUNABLES HOSTALIASES RES_OPTIONS LOCALDOMAIN STTY BASH_ALIASES BASH_CMDS aliases "
    "galiases saliases functions MODULE_PATH HISTSIZE SAVEHIST KEYTIMEOUT LISTMAX SHLVL ERRNO "
    "TRY_BLOCK_ERROR TRY_BLOCK_INTERRUPT ZLE_RPROMPT_INDENT KSHUID KSHGID KSHEGID USER_ID BASHPID "
    "UID EUID GID EGID DIRSTACKSIZE REPORTTIME REPORTMEMORY PGRP PIPESTATUS";

// Prefixes: the loader's settings, the C library's allocator settings (another spelling of
// GLIBC_TUNABLES), the functions bash imports from the environment, and yash's own variables
// (its hooks YASH_AFTER_CD, its YASH_PS4 and the others, YASH_LOADPATH).
static const char *const kPrefixes[] = {"LD_", "MALLOC_", "BASH_FUNC_", "YASH_"};

static bool is(const char *name, size_t len, const char *known) {
  return len == strlen(known) && strncmp(name, known, len) == 0;
}

static bool begins(const char *name, size_t len, const char *prefix) {
  return len >= strlen(prefix) && strncmp(name, prefix, strlen(prefix)) == 0;
}

// One locale name: "C", "POSIX", or letters, digits and "_@-." whose codeset (after a ".") is
// UTF-8. `plain_language` also takes one without a codeset (LANGUAGE's "de", "pt_BR").
static bool is_safe_locale_name(const char *v, size_t len, bool plain_language) {
  if (is(v, len, "C") || is(v, len, "POSIX"))
    return true;
  const char *dot = nullptr;
  for (size_t i = 0; i < len; ++i) {
    if (!isalnum(static_cast<unsigned char>(v[i])) && !strchr("_@-.", v[i]))
      return false;
    if (v[i] == '.' && !dot)
      dot = v + i;
  }
  if (!dot)
    return plain_language && len > 0;
  size_t codeset = static_cast<size_t>(v + len - dot - 1);
  const char *at = static_cast<const char *>(memchr(dot, '@', codeset + 1));
  if (at)
    codeset = static_cast<size_t>(at - dot - 1);
  return dot > v && ((codeset == 5 && same_letters(dot + 1, "utf-8", 5)) ||
                     (codeset == 4 && same_letters(dot + 1, "utf8", 4)));
}

// LANG and LC_* take one locale name (or none); LANGUAGE a list of them separated by ":".
static bool is_safe_locale(const char *name, size_t len, const char *value, size_t value_len) {
  if (value_len == 0)
    return true;
  if (!is(name, len, "LANGUAGE"))
    return is_safe_locale_name(value, value_len, false);
  for (size_t at = 0; at <= value_len;) {
    const char *colon = static_cast<const char *>(memchr(value + at, ':', value_len - at));
    size_t end = colon ? static_cast<size_t>(colon - value) : value_len;
    if (!is_safe_locale_name(value + at, end - at, true))
      return false;
    at = end + 1;
  }
  return true;
}

bool is_refused_setting(const char *name, size_t len, const char *value, size_t value_len) {
  if (is_listed(name, len, kNames))
    return true;
  for (const char *prefix : kPrefixes)
    if (begins(name, len, prefix))
      return true;
  if (is(name, len, "LANG") || is(name, len, "LANGUAGE") || begins(name, len, "LC_"))
    return !is_safe_locale(name, len, value, value_len);
  return false;
}

} // namespace vardo
