#include "lib/sha256.h"

#include <cstring>

#include "lib/hashblocks.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#include <sys/auxv.h>
#endif

namespace vardo {

namespace {

// The round constants: the first 32 bits of the fractional parts of the cube roots of the first
// 64 primes.
alignas(16) constexpr uint32_t kK[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t rotr(uint32_t x, int n) { return x >> n | x << (32 - n); }

uint32_t load_be32(const unsigned char *p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// The compression function of FIPS 180-4, 6.2.2, one block at a time.
void compress_portable(uint32_t *h, const unsigned char *p, size_t blocks) {
  for (; blocks; --blocks, p += 64) {
    uint32_t w[64];
    for (int t = 0; t < 16; ++t)
      w[t] = load_be32(p + 4 * t);
    for (int t = 16; t < 64; ++t) {
      uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ w[t - 15] >> 3;
      uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ w[t - 2] >> 10;
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int t = 0; t < 64; ++t) {
      uint32_t t1 =
          k + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kK[t] + w[t];
      uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      k = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += k;
  }
}

using Compress = void (*)(uint32_t *h, const unsigned char *p, size_t blocks);

#if defined(__x86_64__)

// The SHA extensions keep the working variables in two registers, ABEF and CDGH (A in the top
// lane), and run two rounds an instruction; the message schedule is computed four words at a
// time by SHA256MSG1 (the sigma0 terms) and SHA256MSG2 (the sigma1 terms).
__attribute__((target("sha,sse4.1,ssse3"))) void compress_x86(uint32_t *h, const unsigned char *p,
                                                              size_t blocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i *>(h));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i *>(h + 4));
  __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1), efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8), cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (; blocks; --blocks, p += 64) {
    __m128i abef_in = abef, cdgh_in = cdgh, w[4];
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      // Words 4g to 4g+3 of the schedule, in w[g % 4].
      if (g < 4) {
        w[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * g)),
                                byte_swap);
      } else {
        __m128i t = _mm_sha256msg1_epu32(w[g & 3], w[(g + 1) & 3]);
        t = _mm_add_epi32(t, _mm_alignr_epi8(w[(g + 3) & 3], w[(g + 2) & 3], 4));
        w[g & 3] = _mm_sha256msg2_epu32(t, w[(g + 3) & 3]);
      }
      __m128i wk =
          _mm_add_epi32(w[g & 3], _mm_load_si128(reinterpret_cast<const __m128i *>(kK + 4 * g)));
      // Two rounds make ABEF anew and turn the old ABEF into CDGH.
      __m128i abef2 = _mm_sha256rnds2_epu32(cdgh, abef, wk);
      __m128i abef4 = _mm_sha256rnds2_epu32(abef, abef2, _mm_shuffle_epi32(wk, 0x0E));
      cdgh = abef2;
      abef = abef4;
    }
    abef = _mm_add_epi32(abef, abef_in);
    cdgh = _mm_add_epi32(cdgh, cdgh_in);
  }
  __m128i feba = _mm_shuffle_epi32(abef, 0x1B), dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(h), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(h + 4), _mm_alignr_epi8(dchg, feba, 8));
}

Compress instructions() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_SSE4_1) || !(c & bit_SSSE3))
    return nullptr;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d) || !(b & bit_SHA))
    return nullptr;
  return compress_x86;
}

#elif defined(__aarch64__)

// The ARMv8 SHA2 instructions (GCC's "crypto" extension, which also has AES) run four rounds an
// instruction pair on ABCD and EFGH; SHA256SU0 and SHA256SU1 compute the message schedule four
// words at a time.
__attribute__((target("+crypto"))) void compress_arm(uint32_t *h, const unsigned char *p,
                                                     size_t blocks) {
  uint32x4_t abcd = vld1q_u32(h), efgh = vld1q_u32(h + 4);
  for (; blocks; --blocks, p += 64) {
    uint32x4_t abcd_in = abcd, efgh_in = efgh, w[4];
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      if (g < 4)
        w[g] = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(p + 16 * g)));
      else
        w[g & 3] = vsha256su1q_u32(vsha256su0q_u32(w[g & 3], w[(g + 1) & 3]), w[(g + 2) & 3],
                                   w[(g + 3) & 3]);
      uint32x4_t wk = vaddq_u32(w[g & 3], vld1q_u32(kK + 4 * g)), abcd_before = abcd;
      abcd = vsha256hq_u32(abcd, efgh, wk);
      efgh = vsha256h2q_u32(efgh, abcd_before, wk);
    }
    abcd = vaddq_u32(abcd, abcd_in);
    efgh = vaddq_u32(efgh, efgh_in);
  }
  vst1q_u32(h, abcd);
  vst1q_u32(h + 4, efgh);
}

Compress instructions() { return getauxval(AT_HWCAP) & HWCAP_SHA2 ? compress_arm : nullptr; }

#else

Compress instructions() { return nullptr; }

#endif

Compress compress = nullptr; // chosen on first use

void compress_blocks(void *state, const unsigned char *p, size_t blocks) {
  if (!compress)
    sha256_use_instructions(true);
  compress(static_cast<uint32_t *>(state), p, blocks);
}

HashBlocks blocks_of(Sha256State &s) {
  return {s.h, s.block, sizeof s.block, &s.length, compress_blocks};
}

} // namespace

bool sha256_use_instructions(bool allow) {
  compress = allow ? instructions() : nullptr;
  if (compress)
    return true;
  compress = compress_portable;
  return false;
}

void sha256_init(Sha256State &s) {
  // The first 32 bits of the fractional parts of the square roots of the first eight primes.
  static constexpr uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  memcpy(s.h, kInitial, sizeof s.h);
  s.length = 0;
}

void sha256_update(Sha256State &s, const void *data, size_t len) {
  hash_blocks_update(blocks_of(s), data, len);
}

void sha256_final(Sha256State &s, unsigned char out[kSha256Size]) {
  hash_blocks_pad(blocks_of(s));
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 4; ++j)
      out[4 * i + j] = static_cast<unsigned char>(s.h[i] >> (24 - 8 * j));
}

} // namespace vardo
