#include "lib/sha512.h"

#include <cstring>

#include "lib/hashblocks.h"

namespace vardo {

namespace {

// The round constants: the first 64 bits of the fractional parts of the cube roots of the first
// 80 primes.
constexpr uint64_t kK[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

inline uint64_t rotr(uint64_t x, int n) { return x >> n | x << (64 - n); }

// The compression function of FIPS 180-4, 6.4.2, one block at a time; the working variables
// are kept in an array rotated by one each round, which is smaller than eight named ones.
void compress(void *state, const unsigned char *p, size_t blocks) {
  auto h = static_cast<uint64_t *>(state);
  for (; blocks; --blocks, p += 128) {
    uint64_t w[80], v[8];
    for (int t = 0; t < 80; ++t) {
      if (t < 16) {
        w[t] = 0;
        for (int i = 0; i < 8; ++i)
          w[t] = w[t] << 8 | p[8 * t + i];
      } else {
        uint64_t s0 = rotr(w[t - 15], 1) ^ rotr(w[t - 15], 8) ^ w[t - 15] >> 7;
        uint64_t s1 = rotr(w[t - 2], 19) ^ rotr(w[t - 2], 61) ^ w[t - 2] >> 6;
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
      }
    }
    memcpy(v, h, sizeof v);
    for (int t = 0; t < 80; ++t) {
      uint64_t e = v[4], a = v[0];
      uint64_t t1 = v[7] + (rotr(e, 14) ^ rotr(e, 18) ^ rotr(e, 41)) + ((e & v[5]) ^ (~e & v[6])) +
                    kK[t] + w[t];
      uint64_t t2 =
          (rotr(a, 28) ^ rotr(a, 34) ^ rotr(a, 39)) + ((a & v[1]) ^ (a & v[2]) ^ (v[1] & v[2]));
      memmove(v + 1, v, 7 * sizeof v[0]);
      v[4] += t1;
      v[0] = t1 + t2;
    }
    for (int i = 0; i < 8; ++i)
      h[i] += v[i];
  }
}

HashBlocks blocks_of(Sha512State &s) { return {s.h, s.block, sizeof s.block, &s.length, compress}; }

} // namespace

void sha512_init(Sha512State &s) {
  // The first 64 bits of the fractional parts of the square roots of the first eight primes.
  static constexpr uint64_t kInitial[8] = {
      0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
      0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};
  memcpy(s.h, kInitial, sizeof s.h);
  s.length = 0;
}

void sha512_update(Sha512State &s, const void *data, size_t len) {
  hash_blocks_update(blocks_of(s), data, len);
}

void sha512_final(Sha512State &s, unsigned char out[kSha512Size]) {
  hash_blocks_pad(blocks_of(s));
  for (int i = 0; i < 64; ++i)
    out[i] = static_cast<unsigned char>(s.h[i / 8] >> (56 - 8 * (i % 8)));
}

} // namespace vardo
