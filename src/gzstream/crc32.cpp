#include "gzstream/crc32.h"

#include <cstring>

#include "gzstream/stream.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace vardo {

namespace {

constexpr uint32_t kPoly = 0xEDB88320u; // x^32 + x^26 + ... + 1, bit-reflected

// Sixteen tables for slicing-by-16: table[0] is the classic byte-at-a-time table of the
// reflected polynomial; table[k][b] is the CRC of byte b followed by k zero bytes, so sixteen
// input bytes are folded into the register with sixteen independent lookups, one per byte. They
// are computed on first use rather than stored: 16 KiB less in the executable, which is the
// preamble of every archive.
constexpr int kSlices = 16;
uint32_t tables[kSlices][256];

[[gnu::cold]] void make_tables() { // run once: built for size
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t c = b;
    for (int k = 0; k < 8; ++k)
      c = (c & 1) ? kPoly ^ (c >> 1) : c >> 1;
    tables[0][b] = c;
  }
  for (uint32_t b = 0; b < 256; ++b)
    for (int k = 1; k < kSlices; ++k)
      tables[k][b] = tables[0][tables[k - 1][b] & 0xFF] ^ (tables[k - 1][b] >> 8);
}

// Runs the bytes through register c with the tables and returns the new register.
uint32_t table_update(uint32_t c, const unsigned char *p, size_t len) {
  while (len >= 16) {
    uint32_t w[4];
    memcpy(w, p, 16);
    w[0] ^= c;
    c = 0;
    for (int i = 0; i < 4; ++i) {
      const auto &t = tables;
      int k = 15 - 4 * i;
      c ^= t[k][w[i] & 0xFF] ^ t[k - 1][(w[i] >> 8) & 0xFF] ^ t[k - 2][(w[i] >> 16) & 0xFF] ^
           t[k - 3][w[i] >> 24];
    }
    p += 16;
    len -= 16;
  }
  while (len--)
    c = tables[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  return c;
}

// Runs a whole number of 16-byte blocks, at least four, through register c by carry-less
// multiplication and returns the new register.
using FoldFn = uint32_t (*)(uint32_t c, const unsigned char *p, size_t len);

bool ready = false;
FoldFn fold = nullptr; // the folding code this processor can run, or none

#if defined(__x86_64__)

// Folding (after Intel's "Fast CRC Computation for Generic Polynomials Using PCLMULQDQ").
// A 128-bit lane loaded from the data is a polynomial whose bit m (little-endian) is the
// coefficient of x^(127-m), the bit order of the reflected CRC. A lane that lies D bits before
// a later one is moved onto it by multiplying by x^D modulo the CRC polynomial: its low qword
// (the higher powers) by x^(D+64), its high qword by x^D, with one carry-less multiplication
// each. The product of two reflected qwords comes out as a reflected 128-bit value times x,
// so a multiplier for x^e is stored as x^(e-1) mod P, reflected into the top half of a qword.
// Everything stays congruent modulo the polynomial; the register is XORed into the first four
// bytes, and the last lane left over is run through the tables from a register of 0.
constexpr uint64_t times_x(int e) {
  uint32_t v = 0x80000000u; // x^0, reflected
  for (int i = 1; i < e; ++i)
    v = (v & 1) ? kPoly ^ (v >> 1) : v >> 1;
  return static_cast<uint64_t>(v) << 32;
}
constexpr uint64_t kFold128Lo = times_x(128 + 64), kFold128Hi = times_x(128);
constexpr uint64_t kFold512Lo = times_x(512 + 64), kFold512Hi = times_x(512);

__attribute__((target("pclmul"))) inline __m128i fold_lane(__m128i x, __m128i k, __m128i next) {
  __m128i lo = _mm_clmulepi64_si128(x, k, 0x00), hi = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

__attribute__((target("pclmul"))) inline __m128i load_lane(const unsigned char *p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

// Folds four lanes that lie 16 bytes apart into one, then the blocks left at p, and returns
// the register.
__attribute__((target("pclmul"))) uint32_t finish_lanes(const __m128i x[4], const unsigned char *p,
                                                        size_t len) {
  const __m128i k =
      _mm_set_epi64x(static_cast<int64_t>(kFold128Hi), static_cast<int64_t>(kFold128Lo));
  __m128i acc = x[0];
  for (int i = 1; i < 4; ++i)
    acc = fold_lane(acc, k, x[i]);
  for (; len >= 16; p += 16, len -= 16)
    acc = fold_lane(acc, k, load_lane(p));
  unsigned char last[16];
  _mm_storeu_si128(reinterpret_cast<__m128i *>(last), acc);
  return table_update(0, last, 16);
}

// Four 128-bit lanes, 64 bytes a step.
__attribute__((target("pclmul"))) uint32_t fold_pclmul(uint32_t c, const unsigned char *p,
                                                       size_t len) {
  const __m128i k =
      _mm_set_epi64x(static_cast<int64_t>(kFold512Hi), static_cast<int64_t>(kFold512Lo));
  __m128i x[4];
  for (int i = 0; i < 4; ++i)
    x[i] = load_lane(p + 16 * i);
  x[0] = _mm_xor_si128(x[0], _mm_cvtsi32_si128(static_cast<int>(c)));
  for (p += 64, len -= 64; len >= 64; p += 64, len -= 64)
    for (int i = 0; i < 4; ++i)
      x[i] = fold_lane(x[i], k, load_lane(p + 16 * i));
  return finish_lanes(x, p, len);
}

// The same four lanes in one 512-bit register, each folded by the same multipliers.
__attribute__((target("pclmul,avx512f,vpclmulqdq"))) uint32_t
fold_vpclmul(uint32_t c, const unsigned char *p, size_t len) {
  const __m512i k =
      _mm512_set4_epi64(static_cast<int64_t>(kFold512Hi), static_cast<int64_t>(kFold512Lo),
                        static_cast<int64_t>(kFold512Hi), static_cast<int64_t>(kFold512Lo));
  __m512i z = _mm512_xor_si512(_mm512_loadu_si512(p),
                               _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(c))));
  for (p += 64, len -= 64; len >= 64; p += 64, len -= 64) {
    __m512i lo = _mm512_clmulepi64_epi128(z, k, 0x00), hi = _mm512_clmulepi64_epi128(z, k, 0x11);
    z = _mm512_ternarylogic_epi64(lo, hi, _mm512_loadu_si512(p), 0x96); // three-way XOR
  }
  __m128i x[4];
  _mm512_storeu_si512(x, z);
  // Clean upper register halves, or every later SSE instruction (memcpy's, zlib's) pays for
  // them; the compiler does not insert this itself here.
  _mm256_zeroupper();
  return finish_lanes(x, p, len);
}

// XCR0 as set by the operating system: which register files it saves on a context switch.
uint64_t enabled_state() {
  uint32_t lo, hi;
  __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return static_cast<uint64_t>(hi) << 32 | lo;
}

int widest_fold() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_PCLMUL))
    return 0;
  // The 512-bit form needs the instructions and an operating system that saves the opmask and
  // all 512-bit registers (XCR0 bits 1, 2, 5, 6 and 7).
  bool os_saves_zmm = (c & bit_OSXSAVE) && (enabled_state() & 0xE6) == 0xE6;
  if (os_saves_zmm && __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX512F) &&
      (c & bit_VPCLMULQDQ))
    return 512;
  return 128;
}

FoldFn fold_of_width(int bits) {
  return bits >= 512 ? fold_vpclmul : bits >= 128 ? fold_pclmul : nullptr;
}

#else

int widest_fold() { return 0; }
FoldFn fold_of_width(int) { return nullptr; }

#endif

// a times b modulo the polynomial, both written reflected: bit 31 holds x^0, bit 0 x^31.
uint32_t multiply_mod(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (uint32_t m = 1u << 31; m; m >>= 1) {
    if (a & m)
      product ^= b;
    b = b & 1 ? (b >> 1) ^ kPoly : b >> 1; // b times x
  }
  return product;
}

// x^(8n) modulo the polynomial: what n zero bytes after a message multiply its CRC by.
uint32_t zero_bytes_factor(uint64_t n) {
  uint32_t factor = 1u << 31, power = 1u << 23; // x^0 and x^8
  for (; n; n >>= 1) {
    if (n & 1)
      factor = multiply_mod(power, factor);
    power = multiply_mod(power, power);
  }
  return factor;
}

} // namespace

[[gnu::cold]] int crc32_limit_width(int bits) { // run once: built for size
  if (!ready) {
    make_tables();
    ready = true;
  }
  int width = widest_fold();
  if (bits < width)
    width = bits < 128 ? 0 : bits < 512 ? 128 : 512;
  fold = fold_of_width(width);
  return width;
}

// Runs bytes through the register value `c` (the complement of the CRC).
static uint32_t run_register(uint32_t c, const unsigned char *p, size_t len) {
  if (!ready)
    crc32_limit_width(512);
  if (fold && len >= 64) {
    size_t blocks = len & ~size_t{15};
    c = fold(c, p, blocks);
    p += blocks;
    len -= blocks;
  }
  return table_update(c, p, len);
}

uint32_t crc32_of(uint32_t crc, const void *data, size_t len) {
  return ~run_register(~crc, static_cast<const unsigned char *>(data), len);
}

void crc32_reset(StreamState &s) { s.crc_register = 0xFFFFFFFFu; }

uint32_t crc32_update(StreamState &s, const void *data, size_t len) {
  s.crc_register = run_register(s.crc_register, static_cast<const unsigned char *>(data), len);
  return crc32_value(s);
}

uint32_t crc32_value(const StreamState &s) { return ~s.crc_register; }

uint32_t crc32_combine_of(uint32_t a, uint32_t b, uint64_t len_b) {
  // The CRC is linear: that of A then B is A's CRC moved past len_b bytes, with B's added.
  return multiply_mod(zero_bytes_factor(len_b), a) ^ b;
}

} // namespace vardo
