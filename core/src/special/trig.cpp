// The last resort of the correctly rounded sin and cos, in 256-bit fixed
// point (special/fixed.hpp), and the reduction of their fast path beyond
// 2^18 (the same window product, read as |x| 64/pi mod 128: the table's row
// in its top 7 bits, the fraction to a double-double next).
//
// Reduction (M. Payne, R. Hanek, "Radian reduction for trigonometric
// functions", SIGNUM Newsl. 18 (1983) 19-24): |x| = m 2^e, m < 2^53, and
// |x| 2/pi = sum_i b_i m 2^(e-i) over the bits b_i of 2/pi. Modulo 4 the
// bits i <= e - 2 drop out (their terms are multiples of 4), so only the 448
// bits from i = e - 1 on enter: one product of m by a 7-limb window of the
// table (trig_tables.hpp, 1536 bits, enough for e <= 971), whose low 448
// bits are |x| 2/pi mod 4 to 2^-446: the quadrant n in the top two bits, the
// fraction f next, kept to 256 bits (the bits beyond the window weigh below
// m 2^-446 < 2^-393). With f > 1/2 taken as f - 1 and n + 1, r = f pi/2,
// |r| <= pi/4, is known to 2^-254 absolute; no double comes nearer a multiple
// of pi/2 than 2^-61 (J.-M. Muller, "Elementary Functions", 3rd ed., ch. 11,
// the worst case 6381956970095103 2^797), nor below 2^-26 (taken apart), so
// r is known to 2^-190 relative.
//
// sin|r| and cos|r| by Taylor's series, each term t_n = t_(n-1) r^2 /
// ((2n)(2n+1)) (or ((2n-1)(2n))) truncated (some 2^-255 a term, 40 terms at
// most), positive and negative terms summed apart: 2^-248 absolute, 2^-185
// relative at worst. The worst cases of binary64 sin and cos (V. Lefevre,
// J.-M. Muller, "Worst cases for correct rounding of the elementary functions
// in double precision", ARITH 15, 2001) lie some 2^-(53+66) relative from a
// midpoint, so the one rounding below is the function's.
#include <cstdint>

#include "special/fixed.hpp"
#include "special/trig.hpp"

namespace tarvik::rational {

namespace {

using namespace fixed;
using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;

constexpr int kTwoByPiLimbs = sizeof(kTwoByPiBits) / sizeof(kTwoByPiBits[0]);

// The 64 bits of 2/pi of weights 2^-i to 2^-(i+63) as an integer, the first
// the most significant (the bits of weight 2^0 and above are 0).
u64 two_by_pi_chunk(int i) {
  const int p = i - 1;  // from the top of limb 0
  if (p <= -64) return 0;
  if (p < 0) return kTwoByPiBits[0] >> (-p);
  const int limb = p / 64, off = p % 64;
  const u64 hi = limb < kTwoByPiLimbs ? kTwoByPiBits[limb] : 0;
  const u64 lo = limb + 1 < kTwoByPiLimbs ? kTwoByPiBits[limb + 1] : 0;
  return off == 0 ? hi : (hi << off) | (lo >> (64 - off));
}

// |x| 2^b / pi = n + f mod 2^(b+1) with -1/2 <= f < 1/2, for b = 1 (the
// quadrant) or 6 (the table's row): n, and |f| with its sign in `negative`.
// |x| 2/pi mod 4 is the window product's low 448 bits times 2^-446, so the
// integer part is their top b + 1 bits.
Fixed reduce_fraction(double x, int b, int& n, bool& negative) {
  u64 m = 0;
  int e = 0;
  decompose(x, m, e);
  u64 g[7];
  for (int k = 0; k < 7; ++k) g[k] = two_by_pi_chunk(e - 1 + 64 * k);
  // v = m g: v[1..7] its low 448 bits, |x| 2/pi mod 4 = v 2^-446.
  u64 v[8];
  u64 carry = 0;
  for (int k = 6; k >= 0; --k) {
    const u128 t = static_cast<u128>(g[k]) * m + carry;
    v[k + 1] = static_cast<u64>(t);
    carry = static_cast<u64>(t >> 64);
  }
  const int bits = b + 1;
  n = static_cast<int>(v[1] >> (64 - bits));
  Fixed f;
  for (int i = 0; i < 4; ++i) f.w[i + 1] = (v[i + 1] << bits) | (v[i + 2] >> (64 - bits));
  negative = (f.w[1] >> 63) != 0;
  if (negative) {
    f = sub(Fixed{{1, 0, 0, 0, 0}}, f);
    n = (n + 1) & ((1 << bits) - 1);
  }
  return f;
}

// |x| = (n + f) pi/2 with -1/2 <= f < 1/2: n mod 4, and |f| pi/2 with f's
// sign in `negative`.
Fixed reduce_by_half_pi(double x, int& n, bool& negative) {
  const Fixed f = reduce_fraction(x, 1, n, negative);
  const Fixed half_pi = {{1, kPiBy2Fixed[0], kPiBy2Fixed[1], kPiBy2Fixed[2], kPiBy2Fixed[3]}};
  return mul(f, half_pi);
}

// sin r (odd = true) or cos r for 0 <= r < 1 by Taylor's series.
Fixed taylor(const Fixed& r, bool odd) {
  const Fixed r2 = mul(r, r);
  Fixed plus = odd ? r : Fixed{{1, 0, 0, 0, 0}}, minus;
  Fixed term = plus;
  for (u64 n = 1; n < 100; ++n) {
    const u64 d = odd ? (2 * n) * (2 * n + 1) : (2 * n - 1) * (2 * n);
    term = div_small(mul(term, r2), d);
    if (is_zero(term)) break;
    if (n & 1) {
      minus = add(minus, term);
    } else {
      plus = add(plus, term);
    }
  }
  return sub(plus, minus);
}

// sin(|x| + quarter pi/2), rounded, with its sign flipped where `flip`.
double sin_shifted(double x, int quarter, bool flip) {
  int n = 0;
  bool r_negative = false;
  const Fixed r = reduce_by_half_pi(x, n, r_negative);
  // sin(n pi/2 + r): sin r, cos r, -sin r, -cos r.
  const int q = (n + quarter) & 3;
  const bool odd = (q & 1) == 0;
  const bool negative = (odd ? r_negative != (q == 2) : q == 3) != flip;
  return round_to_double(taylor(r, odd), negative, 0);
}

// A fraction 0 < f < 1 (no integer limb) as hi + lo: its leading 106 bits.
Pair<double> fraction_pair(const Fixed& f) {
  int i = 1;
  while (i <= 4 && f.w[i] == 0) ++i;
  if (i > 4) return {0.0, 0.0};
  const auto limb = [&](int k) { return k <= 4 ? f.w[k] : u64{0}; };
  const int lz = __builtin_clzll(f.w[i]);
  const u64 top = (limb(i) << lz) | (lz > 0 ? limb(i + 1) >> (64 - lz) : 0);
  const u64 next = (limb(i + 1) << lz) | (lz > 0 ? limb(i + 2) >> (64 - lz) : 0);
  // top's bit 63 weighs 2^(e + 63).
  const int e = -64 * (i - 1) - lz - 64;
  const double hi = static_cast<double>(top >> 11) * pow2(e + 11);
  const double lo = static_cast<double>(((top & 0x7ff) << 42) | (next >> 22)) * pow2(e - 42);
  return fast_two_sum(hi, lo);
}

}  // namespace

TrigPair trig_huge_reduced(double x, int quarter) {
  int j = 0;
  bool negative = false;
  const Pair<double> f = fraction_pair(reduce_fraction(x, 6, j, negative));
  // r = f pi/64.
  const Pair<double> p = two_prod(f.hi, kPiBy64Hi);
  Pair<double> r = fast_two_sum(p.hi, p.lo + (f.hi * kPiBy64Lo + f.lo * kPiBy64Hi));
  if (negative) r = {-r.hi, -r.lo};
  Pair<double> v = trig_evaluate<double>(j, r, quarter);
  if (quarter == 0 && x < 0.0) v = {-v.hi, -v.lo};
  return {v.hi, v.lo};
}

double sin_huge(double x) {
  const TrigPair p = trig_huge_reduced(x, 0);
  bool decided;
  const double y = ziv_round(Pair<double>{p.hi, p.lo}, kTrigTestError, decided);
  return decided ? y : sin_last_resort(x);
}

double cos_huge(double x) {
  const TrigPair p = trig_huge_reduced(x, 1);
  bool decided;
  const double y = ziv_round(Pair<double>{p.hi, p.lo}, kTrigTestError, decided);
  return decided ? y : cos_last_resort(x);
}

double sin_last_resort(double x) {
  const double ax = abs_of(x);
  if (!(ax < __builtin_inf())) return x - x;
  if (ax < kSinTiny) return x;
  return sin_shifted(x, 0, x < 0.0);
}

double cos_last_resort(double x) {
  const double ax = abs_of(x);
  if (!(ax < __builtin_inf())) return x - x;
  if (ax < kCosTiny) return 1.0;
  return sin_shifted(x, 1, false);
}

}  // namespace tarvik::rational
