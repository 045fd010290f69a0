#include "archive/signature.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lib/process.h"
#include "lib/sshsig.h"
#include "lib/visible.h"

extern char **environ;

namespace vardo {

static const char kNamespace[] = "vardo";

// Runs the program argv[0], found along PATH, with `input` as its standard input and its standard
// output read into `out` (at most `size` - 1 bytes, NUL-terminated); its diagnostics and its
// questions (a passphrase, on the terminal) reach the user. Returns its exit status, or -1 after
// the message when it cannot be started.
static int run_program(const char *const *argv, const char *input, char *out, size_t size) {
  int in[2], from[2];
  if (pipe2(in, O_CLOEXEC) < 0 || pipe2(from, O_CLOEXEC) < 0) {
    report_errno("pipe");
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, from[1], STDOUT_FILENO);
  pid_t pid;
  int err =
      posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char *const *>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(from[1]);
  size_t n = 0;
  if (!err) {
    // The input is a few lines: the pipe takes them whole before anything is read back.
    write(in[1], input, strlen(input));
    close(in[1]);
    for (ssize_t got; n + 1 < size && (got = read(from[0], out + n, size - 1 - n)) > 0;)
      n += static_cast<size_t>(got);
  } else {
    close(in[1]);
  }
  out[n] = '\0';
  close(from[0]);
  int status = 0;
  if (err) {
    errno = err;
    fprintf(stderr, "%s: %s: %s (signing needs OpenSSH's ssh-keygen)\n", process.program_name,
            argv[0], strerror(err));
    return -1;
  }
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

int check_signing_key(const char *key) {
  const char *const argv[] = {"ssh-keygen", "-l", "-f", key, nullptr};
  char out[kTextBufferSize];
  int status = run_program(argv, "", out, sizeof out);
  if (status < 0)
    return -1;
  size_t len = strlen(out);
  static const char kType[] = "(ED25519)\n";
  if (status == 0 && len >= sizeof kType - 1 && strcmp(out + len - (sizeof kType - 1), kType) == 0)
    return 0;
  fprintf(stderr, "%s: %s: %s\n", process.program_name, visible(key, stderr),
          status ? "ssh-keygen cannot read this key"
                 : "not an Ed25519 key: archives are signed with Ed25519 keys only");
  return -1;
}

int sign_trailer(Trailer &t, const char *key) {
  char text[kSignedTextSize];
  format_signed_text(t, text);
  const char *const argv[] = {"ssh-keygen", "-q", "-Y", "sign", "-n",
                              kNamespace,   "-f", key,  nullptr};
  char signature[kSignatureLimit + 1];
  int status = run_program(argv, text, signature, sizeof signature);
  if (status < 0)
    return -1;
  size_t len = strlen(signature);
  unsigned char signer[kEd25519KeySize];
  const char *reason = "ssh-keygen failed";
  if (status == 0 &&
      sshsig_verify(signature, len, kNamespace, text, strlen(text), signer, &reason) == 0 &&
      len < kSignatureLimit) {
    memcpy(t.signature, signature, len);
    t.signature_size = len;
    return 0;
  }
  fprintf(stderr, "%s: %s: the archive could not be signed: %s\n", process.program_name,
          visible(key, stderr),
          status == 0 && len >= kSignatureLimit ? "signature too long" : reason);
  return -1;
}

// Reads the trusted keys of `keys` into `text` of `size` bytes. Returns their length, or -1 after
// a message.
static long read_keys(const char *keys, char *text, size_t size) {
  // Opened without waiting for a FIFO's writer, then read as any file is: a pipe from a
  // command, <(...), gives its keys when they come.
  int fd = open(keys, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0 || fcntl(fd, F_SETFL, 0) < 0) {
    report_errno(keys);
    if (fd >= 0)
      close(fd);
    return -1;
  }
  size_t n = 0;
  ssize_t got;
  while (n < size && (got = read(fd, text + n, size - n)) > 0)
    n += static_cast<size_t>(got);
  bool failed = got < 0 && n < size;
  close(fd);
  if (failed) {
    report_errno(keys);
    return -1;
  }
  if (n == size) {
    fprintf(stderr, "%s: %s: a file of trusted keys must hold less than %zu bytes\n",
            process.program_name, visible(keys, stderr), size);
    return -1;
  }
  return static_cast<long>(n);
}

int verify_signature(const Trailer &t, const char *keys, const char *path, Signer *who) {
  static char text[65536];
  long len = read_keys(keys, text, sizeof text);
  if (len < 0)
    return -1;
  char message[kSignedTextSize];
  size_t message_len = format_signed_text(t, message);
  unsigned char signer[kEd25519KeySize];
  const char *reason = "the archive is not signed";
  if (!t.signature_size || sshsig_verify(t.signature, t.signature_size, kNamespace, message,
                                         message_len, signer, &reason) < 0) {
    fprintf(stderr, "%s: %s: %s\n", process.program_name, visible(path, stderr), reason);
    return -1;
  }
  ssh_key_fingerprint(signer, who->fingerprint);
  if (ssh_find_signer(text, static_cast<size_t>(len), signer, kNamespace, who->principals,
                      sizeof who->principals, &reason) < 0) {
    fprintf(stderr, "%s: %s: signed by %s, which %s does not trust: %s\n", process.program_name,
            visible(path, stderr), who->fingerprint, visible(keys, stderr), reason);
    return -1;
  }
  return 0;
}

} // namespace vardo
