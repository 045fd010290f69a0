#include "lib/sshkey.h"

#include <cstring>

#include "lib/base64.h"
#include "lib/sha256.h"
#include "lib/text.h"

namespace vardo {

namespace {

constexpr char kKeyType[] = "ssh-ed25519";
constexpr size_t kTypeLength = sizeof kKeyType - 1;
constexpr size_t kBlobSize = 4 + kTypeLength + 4 + kEd25519KeySize;

// A field of a line: the text up to a blank outside double quotes.
struct Field {
  const char *p;
  size_t len;
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Takes the next field of the text from `at` to `end`. Returns false when only blanks remain.
bool next_field(const char *&at, const char *end, Field &f) {
  while (at < end && is_blank(*at))
    ++at;
  if (at == end)
    return false;
  bool quoted = false;
  for (f.p = at; at < end && (quoted || !is_blank(*at)); ++at)
    quoted ^= *at == '"';
  f.len = static_cast<size_t>(at - f.p);
  return true;
}

// Takes the next item of a comma-separated list (commas within double quotes belong to the item)
// from `at` to `end`, and the comma after it.
Field next_item(const char *&at, const char *end) {
  bool quoted = false;
  Field f = {at, 0};
  for (; at < end && (quoted || *at != ','); ++at)
    quoted ^= *at == '"';
  f.len = static_cast<size_t>(at - f.p);
  at += at < end;
  return f;
}

bool field_is(const Field &f, const char *text) { return ssh_bytes_are(f.p, f.len, text); }

// The field less the double quotes that enclose it.
Field unquoted(Field f) {
  if (f.len >= 2 && f.p[0] == '"' && f.p[f.len - 1] == '"')
    return {f.p + 1, f.len - 2};
  return f;
}

int key_from_base64(const Field &f, unsigned char key[kEd25519KeySize], const char **reason) {
  unsigned char blob[kBlobSize];
  int len = base64_decode(f.p, f.len, blob, sizeof blob);
  if (len < 0)
    return ssh_refuse(reason, "malformed Ed25519 public key");
  return ssh_key_from_blob(blob, static_cast<size_t>(len), key, reason);
}

// Whether a comma-separated list names `name` exactly.
bool list_names(Field list, const char *name) {
  for (const char *at = list.p, *end = list.p + list.len; at < end;)
    if (field_is(next_item(at, end), name))
      return true;
  return false;
}

// Whether the options field of an allowed_signers line lets its key sign in namespace `ns`.
bool options_allow(const Field &options, const char *ns, const char **reason) {
  constexpr char kNamespaces[] = "namespaces=";
  constexpr size_t kPrefix = sizeof kNamespaces - 1;
  // ssh-keygen takes a backslash-escaped quote inside a quoted value, and refuses an empty
  // option and a second namespaces=: a list that could be read otherwise is refused.
  int namespaces = 0;
  if (memchr(options.p, '\\', options.len) || options.p[options.len - 1] == ',') {
    *reason = "the trusted key's options are malformed";
    return false;
  }
  for (const char *at = options.p, *end = options.p + options.len; at < end;) {
    Field option = next_item(at, end);
    if (option.len > kPrefix && same_letters(option.p, kNamespaces, kPrefix) && ++namespaces == 1) {
      // ssh-keygen reads the list as patterns ("!vardo" denies it): only a quoted list of plain
      // names is taken, so that no line trusts a key that ssh-keygen would not.
      Field value{option.p + kPrefix, option.len - kPrefix};
      Field names = unquoted(value);
      bool plain = names.p != value.p;
      for (size_t i = 0; plain && i < names.len; ++i)
        plain = !strchr("!*?\"", names.p[i]);
      if (!plain || !list_names(names, ns)) {
        *reason = "the trusted key is not allowed this namespace";
        return false;
      }
    } else if (option.len == 14 && same_letters(option.p, "cert-authority", 14)) {
      *reason = "cert-authority keys are not supported";
      return false;
    } else {
      *reason = "the trusted key has an option other than namespaces=";
      return false;
    }
  }
  return true;
}

} // namespace

int ssh_refuse(const char **reason, const char *text) {
  *reason = text;
  return -1;
}

bool ssh_read_u32(SshReader &r, uint32_t &value) {
  if (r.left < 4)
    return false;
  value = uint32_t{r.p[0]} << 24 | uint32_t{r.p[1]} << 16 | uint32_t{r.p[2]} << 8 | r.p[3];
  r.p += 4;
  r.left -= 4;
  return true;
}

bool ssh_read_string(SshReader &r, const unsigned char *&data, size_t &len) {
  SshReader at = r;
  uint32_t n;
  if (!ssh_read_u32(at, n) || n > at.left)
    return false;
  data = at.p;
  len = n;
  r = {at.p + n, at.left - n};
  return true;
}

bool ssh_bytes_are(const void *data, size_t len, const char *text) {
  return len == strlen(text) && (!len || memcmp(data, text, len) == 0);
}

int ssh_key_from_blob(const unsigned char *blob, size_t len, unsigned char key[kEd25519KeySize],
                      const char **reason) {
  SshReader r = {blob, len};
  const unsigned char *type, *bytes;
  size_t type_len, n;
  if (!ssh_read_string(r, type, type_len))
    return ssh_refuse(reason, "malformed public key");
  if (!ssh_bytes_are(type, type_len, kKeyType))
    return ssh_refuse(reason, "only Ed25519 keys are taken");
  if (!ssh_read_string(r, bytes, n) || n != kEd25519KeySize || r.left)
    return ssh_refuse(reason, "malformed Ed25519 public key");
  if (!ed25519_key_valid(bytes))
    return ssh_refuse(reason, "the Ed25519 public key is no valid point");
  memcpy(key, bytes, kEd25519KeySize);
  return 0;
}

void ssh_key_fingerprint(const unsigned char key[kEd25519KeySize], char out[kSshFingerprintSize]) {
  unsigned char blob[kBlobSize] = {0, 0, 0, kTypeLength};
  memcpy(blob + 4, kKeyType, kTypeLength);
  blob[4 + kTypeLength + 3] = kEd25519KeySize;
  memcpy(blob + 8 + kTypeLength, key, kEd25519KeySize);
  Sha256State s;
  unsigned char digest[kSha256Size];
  sha256_init(s);
  sha256_update(s, blob, sizeof blob);
  sha256_final(s, digest);
  memcpy(out, "SHA256:", 7);
  base64_encode_unpadded(digest, sizeof digest, out + 7);
}

int ssh_key_parse(const char *line, size_t len, unsigned char key[kEd25519KeySize],
                  const char **reason) {
  Field type = {}, base64 = {};
  const char *end = line + len;
  next_field(line, end, type);
  next_field(line, end, base64);
  if (!field_is(type, kKeyType))
    return ssh_refuse(reason, "only Ed25519 keys are taken");
  return key_from_base64(base64, key, reason);
}

int ssh_find_signer(const char *text, size_t len, const unsigned char key[kEd25519KeySize],
                    const char *ns, char *principals, size_t size, const char **reason) {
  const char *why = "the signing key is not among the trusted keys";
  for (const char *line = text, *end = text + len; line < end;) {
    auto eol = static_cast<const char *>(memchr(line, '\n', static_cast<size_t>(end - line)));
    const char *at = line, *stop = eol ? eol : end;
    // ssh-keygen ends a line at a NUL and a quoted field at its closing quote, and parts a key
    // from its options at a blank or a tab only: a line where that could be read another way
    // than here (a carriage return but at its end) is refused, never read as here.
    auto len = static_cast<size_t>(stop - line);
    bool odd = memchr(line, '\0', len) ||
               memchr(line, '\r', len - (len > 0 && stop[-1] == '\r')) != nullptr;
    line = eol ? eol + 1 : end;
    // principals, options, key type, key: the first three fields place the key type.
    Field f[4] = {};
    int n = 0, type = 0;
    while (n < 4 && next_field(at, stop, f[n]))
      ++n;
    if (n == 0 || f[0].p[0] == '#')
      continue;
    while (type < 3 && type < n && !field_is(f[type], kKeyType))
      ++type;
    if (type == 3 || type == n)
      continue; // a line of another key type
    unsigned char line_key[kEd25519KeySize];
    if (key_from_base64(f[type + 1], line_key, reason) < 0)
      return ssh_refuse(reason, "malformed Ed25519 key line among the trusted keys");
    if (memcmp(line_key, key, kEd25519KeySize) != 0 ||
        (type == 2 && !options_allow(f[1], ns, &why)))
      continue;
    Field names = type ? unquoted(f[0]) : Field{"", 0};
    if (odd || memchr(names.p, '"', names.len) || memchr(names.p, '\\', names.len))
      return ssh_refuse(reason, "malformed Ed25519 key line among the trusted keys");
    // ssh-keygen reads the principals as patterns, where "!" denies, and an empty one matches no
    // signer: such a line is not trusted.
    if (memchr(names.p, '!', names.len) || (type && names.len == 0)) {
      why = "the trusted key's principals match no signer";
      continue;
    }
    if (names.len >= size)
      return ssh_refuse(reason, "the trusted key's principals are too long");
    memcpy(principals, names.p, names.len);
    principals[names.len] = '\0';
    return 0;
  }
  *reason = why;
  return -1;
}

} // namespace vardo
