#include "archive/header.h"

namespace vardo {

const char *make_magic() {
  static char magic[kMagicSize];
  // Volatile stores keep the compiler from merging the bytes into one constant.
  volatile char *m = magic;
  m[0] = 'v';
  m[1] = 'a';
  m[2] = 'r';
  m[3] = 'd';
  m[4] = 'o';
  m[5] = '+';
  m[6] = 'm';
  m[7] = 'a';
  m[8] = 'g';
  m[9] = 'i';
  m[10] = 'k';
  return magic;
}

} // namespace vardo
