// Armored SSH signatures, public key lines and allowed_signers files: the input is taken as each.
// A signature is checked over the input itself; the trusted keys are searched for the key of the
// input's first line where it has one, else for the key the corpus's files name.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "lib/sshkey.h"
#include "lib/sshsig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  auto text = reinterpret_cast<const char *>(data);
  unsigned char key[vardo::kEd25519KeySize];
  const char *reason = nullptr;
  if (vardo::sshsig_verify(text, size, "vardo", data, size, key, &reason) < 0 && !reason)
    abort();
  if (vardo::ssh_key_parse(text, size, key, &reason) < 0) {
    static const unsigned char corpus_key[] = {0xd7, 0x5a, 0x98, 0x01, 0x82, 0xb1, 0x0a, 0xb7,
                                               0xd5, 0x4b, 0xfe, 0xd3, 0xc9, 0x64, 0x07, 0x3a,
                                               0x0e, 0xe1, 0x72, 0xf3, 0xda, 0xa6, 0x23, 0x25,
                                               0xaf, 0x02, 0x1a, 0x68, 0xf7, 0x07, 0x51, 0x1a};
    memcpy(key, corpus_key, sizeof key);
  }
  char principals[64];
  reason = nullptr;
  int found =
      vardo::ssh_find_signer(text, size, key, "vardo", principals, sizeof principals, &reason);
  if ((found < 0 && !reason) || (found == 0 && strlen(principals) >= sizeof principals))
    abort();
  return 0;
}
