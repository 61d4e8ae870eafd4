// The last resort of the correctly rounded exp: exp(x) in fixed point with
// 256 fractional bits, then one rounding to the double (or subnormal) grid.
//
// x = k ln2 + r with |r| <= ln2/2 + 2^-40, r exact to 2^-250 (x is a
// multiple of 2^-106 here, ln 2 is known to 2^-256); exp(r) by Taylor's
// series to the term below 2^-300, each term t_n = t_(n-1) |r| / n truncated
// (error at most 2^-255 a term, not growing since |r| < 1), so exp(r) in
// [0.70, 1.42] is known to some 2^-245 absolute. The worst cases of binary64
// exp need far less than that to round correctly (V. Lefevre and J.-M.
// Muller, "Worst cases for correct rounding of the elementary functions in
// double precision", ARITH 15, 2001: at most some 2^-(53+63) relative away
// from a midpoint), so the rounding below is that of exp(x).
#include <cmath>
#include <cstdint>

#include "special/exp.hpp"

namespace tarvik::rational {

namespace {

using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;

// A non-negative number below 2^64: limb 0 the integer part, limbs 1..4 the
// fraction, most significant first.
struct Fixed {
  u64 w[5] = {0, 0, 0, 0, 0};
};

bool less(const Fixed& a, const Fixed& b) {
  for (int i = 0; i < 5; ++i) {
    if (a.w[i] != b.w[i]) return a.w[i] < b.w[i];
  }
  return false;
}

Fixed add(const Fixed& a, const Fixed& b) {
  Fixed r;
  u64 carry = 0;
  for (int i = 4; i >= 0; --i) {
    const u128 s = static_cast<u128>(a.w[i]) + b.w[i] + carry;
    r.w[i] = static_cast<u64>(s);
    carry = static_cast<u64>(s >> 64);
  }
  return r;
}

// a - b for a >= b.
Fixed sub(const Fixed& a, const Fixed& b) {
  Fixed r;
  u64 borrow = 0;
  for (int i = 4; i >= 0; --i) {
    const u128 d = static_cast<u128>(a.w[i]) - b.w[i] - borrow;
    r.w[i] = static_cast<u64>(d);
    borrow = (d >> 64) != 0 ? 1 : 0;
  }
  return r;
}

// a b truncated to 256 fractional bits (the product below 2^64).
Fixed mul(const Fixed& a, const Fixed& b) {
  u64 acc[10] = {};  // limb i + j has weight 2^(-64 (i + j)); acc[n] holds n
  for (int i = 4; i >= 0; --i) {
    u64 carry = 0;
    for (int j = 4; j >= 0; --j) {
      const u128 t = static_cast<u128>(a.w[i]) * b.w[j] + acc[i + j + 1] + carry;
      acc[i + j + 1] = static_cast<u64>(t);
      carry = static_cast<u64>(t >> 64);
    }
    acc[i] += carry;
  }
  // acc[n + 1] has weight 2^(-64 n): the integer limb is acc[1].
  Fixed r;
  for (int i = 0; i < 5; ++i) r.w[i] = acc[i + 1];
  return r;
}

Fixed mul_small(const Fixed& a, u64 n) {
  Fixed r;
  u64 carry = 0;
  for (int i = 4; i >= 0; --i) {
    const u128 t = static_cast<u128>(a.w[i]) * n + carry;
    r.w[i] = static_cast<u64>(t);
    carry = static_cast<u64>(t >> 64);
  }
  return r;
}

// a / n truncated.
Fixed div_small(const Fixed& a, u64 n) {
  Fixed r;
  u128 rem = 0;
  for (int i = 0; i < 5; ++i) {
    const u128 cur = (rem << 64) | a.w[i];
    r.w[i] = static_cast<u64>(cur / n);
    rem = cur % n;
  }
  return r;
}

bool is_zero(const Fixed& a) {
  return (a.w[0] | a.w[1] | a.w[2] | a.w[3] | a.w[4]) == 0;
}

// |x| exactly, for 2^-150 <= |x| < 2^64 with no bit below 2^-256.
Fixed from_double(double x) {
  int e = 0;
  const double m = std::frexp(std::fabs(x), &e);  // |x| = m 2^e, m in [0.5, 1)
  const u64 mant = static_cast<u64>(std::ldexp(m, 53));  // 53 bits: |x| = mant 2^(e-53)
  // Bit b of the 320-bit number W (W / 2^256 = the value) has weight
  // 2^(b - 256): mant's bit 0 lands at b0 = e - 53 + 256.
  Fixed r;
  const int b0 = e - 53 + 256;
  for (int bit = 0; bit < 53; ++bit) {
    if ((mant >> bit) & 1) {
      const int b = b0 + bit;
      r.w[4 - b / 64] |= u64{1} << (b % 64);
    }
  }
  return r;
}

bool bit_of(const Fixed& a, int b) { return (a.w[4 - b / 64] >> (b % 64)) & 1; }

}  // namespace

double exp_last_resort(double x) {
  if (x != x) return x + x;
  if (x > kExpOverflow) return __builtin_inf();
  if (x < -745.2) return 0.0;  // below 2^-1075 (half the least subnormal)
  if (std::fabs(x) < kExpTiny) return 1.0;
  const Fixed ln2 = {{0, kLn2Fixed[0], kLn2Fixed[1], kLn2Fixed[2], kLn2Fixed[3]}};
  const long k = std::lround(x * 1.4426950408889634);  // nearest to x / ln2, or next to it
  const Fixed ax = from_double(x);
  const Fixed kl = mul_small(ln2, static_cast<u64>(k < 0 ? -k : k));
  // r = x - k ln2, |r| and its sign (x and k share theirs).
  const bool x_ahead = less(kl, ax);
  const Fixed ar = x_ahead ? sub(ax, kl) : sub(kl, ax);
  const bool r_negative = (x < 0) == x_ahead;
  // exp(r) = sum of (+-)|r|^n / n!: the positive and negative terms apart.
  Fixed plus = {{1, 0, 0, 0, 0}}, minus;
  Fixed term = plus;
  for (u64 n = 1; n < 80; ++n) {
    term = div_small(mul(term, ar), n);
    if (is_zero(term)) break;
    if (r_negative && (n & 1)) {
      minus = add(minus, term);
    } else {
      plus = add(plus, term);
    }
  }
  const Fixed v = sub(plus, minus);  // exp(r) in [0.70, 1.42]
  // v 2^k: its leading bit is bit 256 (v >= 1) or 255, the exponent e of
  // the result accordingly; p bits are kept, fewer below 2^-1022.
  const int lead = v.w[0] != 0 ? 256 : 255;
  const int e = static_cast<int>(k) + (lead - 256);
  int p = 53;
  if (e < -1022) p = 53 - (-1022 - e);
  if (p < 0) return 0.0;
  // q = the leading p bits, then the rounding bit and the sticky bits.
  u64 q = 0;
  for (int b = lead; b > lead - p; --b) q = (q << 1) | (bit_of(v, b) ? 1 : 0);
  const int round_at = lead - p;
  bool sticky = false;
  for (int b = round_at - 1; b >= 0 && !sticky; --b) sticky = bit_of(v, b);
  if (bit_of(v, round_at) && (sticky || (q & 1))) ++q;
  return std::ldexp(static_cast<double>(q), e - p + 1);
}

}  // namespace tarvik::rational
