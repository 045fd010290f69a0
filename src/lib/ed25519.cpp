#include "lib/ed25519.h"

#include <cstdint>
#include <cstring>

#include "lib/sha512.h"

namespace vardo {

namespace {

using u128 = unsigned __int128;

// An element of the field of p = 2^255 - 19 in five limbs of 51 bits, least significant first.
// Every result is carried so that its limbs stay below 2^52, which keeps the products of two
// limbs (times 19) within 128 bits and lets sub add 2p without going negative.
struct Fe {
  uint64_t v[5];
};

constexpr uint64_t kMask = (uint64_t{1} << 51) - 1;

// Carries each limb into the next; the carry out of the top limb, worth 2^255 each, comes back
// into the lowest limb times `fold` (19, as 2^255 = 19 mod p) or is dropped (0).
void carry(Fe &a, uint64_t fold) {
  for (int i = 0; i < 4; ++i) {
    a.v[i + 1] += a.v[i] >> 51;
    a.v[i] &= kMask;
  }
  a.v[0] += fold * (a.v[4] >> 51);
  a.v[4] &= kMask;
}

Fe add(const Fe &f, const Fe &g) {
  Fe h;
  for (int i = 0; i < 5; ++i)
    h.v[i] = f.v[i] + g.v[i];
  carry(h, 19);
  return h;
}

Fe sub(const Fe &f, const Fe &g) {
  Fe h;
  for (int i = 0; i < 5; ++i)
    h.v[i] = f.v[i] + (i ? 2 * kMask : 2 * (kMask - 18)) - g.v[i]; // plus 2p
  carry(h, 19);
  return h;
}

Fe mul(const Fe &f, const Fe &g) {
  u128 t[5] = {};
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 5; ++j)
      t[(i + j) % 5] += static_cast<u128>(f.v[i]) * (i + j < 5 ? g.v[j] : 19 * g.v[j]);
  Fe h;
  for (int i = 0; i < 4; ++i) {
    t[i + 1] += t[i] >> 51;
    h.v[i] = static_cast<uint64_t>(t[i]) & kMask;
  }
  h.v[4] = static_cast<uint64_t>(t[4]) & kMask;
  u128 low = h.v[0] + 19 * (t[4] >> 51);
  h.v[0] = static_cast<uint64_t>(low) & kMask;
  h.v[1] += static_cast<uint64_t>(low >> 51);
  return h;
}

Fe small(uint64_t n) { return {{n, 0, 0, 0, 0}}; }

// a^e where e has `bits` bits, all ones but for those set in `zeros` (all below bit 8): the
// exponents used here are p - 2 (inversion), (p - 5) / 8 (square roots) and (p - 1) / 4.
Fe power(const Fe &a, int bits, unsigned zeros) {
  Fe r = small(1);
  for (int i = bits - 1; i >= 0; --i) {
    r = mul(r, r);
    if (i >= 8 || !(zeros >> i & 1))
      r = mul(r, a);
  }
  return r;
}

Fe invert(const Fe &a) { return power(a, 255, 0x14); } // a^(2^255 - 21)

// The canonical encoding: 32 bytes, little-endian, of the value reduced below p.
void encode(unsigned char out[32], Fe a) {
  carry(a, 19);
  carry(a, 19);                     // now below 2^255, every limb below 2^51
  uint64_t q = (a.v[0] + 19) >> 51; // 1 when a + 19 reaches 2^255, that is when a >= p
  for (int i = 1; i < 5; ++i)
    q = (a.v[i] + q) >> 51;
  a.v[0] += 19 * q;
  carry(a, 0); // a + 19 - 2^255 = a - p
  uint64_t w[4] = {a.v[0] | a.v[1] << 51, a.v[1] >> 13 | a.v[2] << 38, a.v[2] >> 26 | a.v[3] << 25,
                   a.v[3] >> 39 | a.v[4] << 12};
  for (int i = 0; i < 32; ++i)
    out[i] = static_cast<unsigned char>(w[i / 8] >> (8 * (i % 8)));
}

// Four little-endian 64-bit words of 32 bytes.
void load_words(uint64_t w[4], const unsigned char b[32]) {
  for (int i = 0; i < 4; ++i) {
    w[i] = 0;
    for (int j = 7; j >= 0; --j)
      w[i] = w[i] << 8 | b[8 * i + j];
  }
}

// The field element of 32 bytes, bit 255 left out.
Fe decode(const unsigned char b[32]) {
  uint64_t w[4];
  load_words(w, b);
  return {{w[0] & kMask, (w[0] >> 51 | w[1] << 13) & kMask, (w[1] >> 38 | w[2] << 26) & kMask,
           (w[2] >> 25 | w[3] << 39) & kMask, w[3] >> 12 & kMask}};
}

bool is_zero(const Fe &a) {
  unsigned char b[32], any = 0;
  encode(b, a);
  for (unsigned char c : b)
    any |= c;
  return !any;
}

bool is_odd(const Fe &a) {
  unsigned char b[32];
  encode(b, a);
  return b[0] & 1;
}

// A point in extended coordinates (RFC 8032, 5.1.4): x = X/Z, y = Y/Z, x * y = T/Z.
struct Point {
  Fe X, Y, Z, T;
};

// The curve's constants, computed rather than stored: d = -121665/121666, 2d, sqrt(-1) and the
// base point B.
struct Curve {
  Fe d, d2, sqrt_m1;
  Point base;
};

// The sum of two points by the unified formulas of RFC 8032, 5.1.4, which hold for doubling too.
Point add(const Point &p, const Point &q, const Curve &c) {
  Fe a = mul(sub(p.Y, p.X), sub(q.Y, q.X)), b = mul(add(p.Y, p.X), add(q.Y, q.X));
  Fe t = mul(mul(p.T, q.T), c.d2), z = mul(p.Z, add(q.Z, q.Z));
  Fe e = sub(b, a), f = sub(z, t), g = add(z, t), h = add(b, a);
  return {mul(e, f), mul(g, h), mul(f, g), mul(e, h)};
}

// Decodes a point as RFC 8032, 5.1.3 does, refusing y >= p, a y with no x on the curve, and
// x = 0 with the sign bit set.
bool decode_point(Point &out, const unsigned char b[32], const Curve &c) {
  Fe y = decode(b);
  unsigned char canonical[32];
  encode(canonical, y);
  int sign = b[31] >> 7;
  canonical[31] |= static_cast<unsigned char>(sign << 7);
  if (memcmp(canonical, b, 32) != 0)
    return false;
  // x^2 = u / v; the candidate x = u v^3 (u v^7)^((p - 5) / 8) is a root when v x^2 = u, and
  // becomes one times sqrt(-1) when v x^2 = -u.
  Fe y2 = mul(y, y), u = sub(y2, small(1)), v = add(mul(c.d, y2), small(1));
  Fe v3 = mul(mul(v, v), v), uv3 = mul(u, v3);
  Fe x = mul(uv3, power(mul(uv3, mul(v3, v)), 252, 0x2));
  Fe vx2 = mul(v, mul(x, x));
  if (!is_zero(sub(vx2, u))) {
    if (!is_zero(add(vx2, u)))
      return false;
    x = mul(x, c.sqrt_m1);
  }
  if (is_zero(x) && sign)
    return false;
  if (is_odd(x) != sign)
    x = sub(small(0), x);
  out = {x, y, small(1), mul(x, y)};
  return true;
}

void encode_point(unsigned char out[32], const Point &p) {
  Fe z = invert(p.Z);
  encode(out, mul(p.Y, z));
  out[31] |= static_cast<unsigned char>(is_odd(mul(p.X, z)) << 7);
}

// Whether [8]P is the identity, whose x is 0 (the only other point with x = 0 has order 2).
bool small_order(Point p, const Curve &c) {
  for (int i = 0; i < 3; ++i)
    p = add(p, p, c);
  return is_zero(p.X);
}

Curve curve() {
  Curve c;
  c.d = sub(small(0), mul(small(121665), invert(small(121666))));
  c.d2 = add(c.d, c.d);
  c.sqrt_m1 = power(small(2), 253, 0x4); // 2^((p - 1) / 4)
  unsigned char base[32];                // y = 4/5, x even
  memset(base, 0x66, sizeof base);
  base[0] = 0x58;
  decode_point(c.base, base, c);
  return c;
}

// The group order L = 2^252 + 27742317777372353535851937790883648493, in 64-bit words.
constexpr uint64_t kL[4] = {0x5812631a5cf5d3ed, 0x14def9dea2f79cd6, 0, 0x1000000000000000};

bool below_l(const uint64_t w[4]) {
  for (int i = 3; i >= 0; --i)
    if (w[i] != kL[i])
      return w[i] < kL[i];
  return false;
}

// The little-endian number of `n` bytes modulo L, by long division a bit at a time: the
// remainder doubles and takes the next bit, and L is taken off whenever it reaches L.
void reduce(uint64_t r[4], const unsigned char *b, int n) {
  memset(r, 0, 4 * sizeof r[0]);
  for (int i = 8 * n - 1; i >= 0; --i) {
    for (int j = 3; j > 0; --j)
      r[j] = r[j] << 1 | r[j - 1] >> 63;
    r[0] = r[0] << 1 | (b[i / 8] >> (i % 8) & 1);
    if (below_l(r))
      continue;
    uint64_t borrow = 0;
    for (int j = 0; j < 4; ++j) {
      u128 d = static_cast<u128>(r[j]) - kL[j] - borrow;
      r[j] = static_cast<uint64_t>(d);
      borrow = static_cast<uint64_t>(d >> 64) & 1;
    }
  }
}

int bit(const uint64_t w[4], int i) { return w[i / 64] >> (i % 64) & 1; }

// Decodes a point that ed25519_verify takes for A or R: decodable and not of small order.
bool decode_strict(Point &out, const unsigned char b[32], const Curve &c) {
  return decode_point(out, b, c) && !small_order(out, c);
}

} // namespace

bool ed25519_key_valid(const unsigned char public_key[kEd25519KeySize]) {
  Point a;
  return decode_strict(a, public_key, curve());
}

bool ed25519_verify(const unsigned char signature[kEd25519SignatureSize],
                    const unsigned char public_key[kEd25519KeySize], const void *message,
                    size_t len) {
  uint64_t s[4], k[4];
  load_words(s, signature + 32);
  if (!below_l(s))
    return false;
  Curve c = curve();
  Point a, r;
  if (!decode_strict(a, public_key, c) || !decode_strict(r, signature, c))
    return false;
  Sha512State h;
  unsigned char digest[kSha512Size];
  sha512_init(h);
  sha512_update(h, signature, 32);
  sha512_update(h, public_key, kEd25519KeySize);
  sha512_update(h, message, len);
  sha512_final(h, digest);
  reduce(k, digest, sizeof digest);
  // [S]B - [k]A, both scalars below L < 2^253, by one run of doublings.
  Point minus_a = {sub(small(0), a.X), a.Y, a.Z, sub(small(0), a.T)};
  Point p = {small(0), small(1), small(1), small(0)};
  for (int i = 252; i >= 0; --i) {
    p = add(p, p, c);
    if (bit(s, i))
      p = add(p, c.base, c);
    if (bit(k, i))
      p = add(p, minus_a, c);
  }
  unsigned char encoded[32];
  encode_point(encoded, p);
  return memcmp(encoded, signature, 32) == 0;
}

} // namespace vardo
