// The last resort of the correctly rounded atan2, in 256-bit fixed point
// (special/fixed.hpp), and its special cases (C99 Annex F, F.9.1.4).
//
// |y| = m_y 2^e_y, |x| = m_x 2^e_x with m in [2^52, 2^53) (subnormals
// normalised); u = min/max = U 2^D with U in [1, 2) (one division, to some
// 2^-254, truncated where the result lies beside 0) and D <= 0. With k the
// integer nearest 64 u and c = k/64:
// - k >= 1: atan(u) = atan(c) +- atan(v), v = |u - c|/(1 + u c) <= 1/128,
//   atan(c) from the table (256 bits);
// - k = 0: atan(u) = 2^D U S(z)/(1 + u^2), the same series kept relative to
//   u, so that tiny and subnormal results keep their 256 bits.
// atan(v) = v S(z)/(1 + v^2) by Euler's series (L. Euler, "Institutiones
// calculi differentialis", 1755; Abramowitz and Stegun 4.4.42 in the form
// S(z) = sum_n (2n)!! / (2n+1)!! z^n, z = v^2/(1 + v^2) <= 2^-14): positive
// terms, each truncated (three errors of 2^-256 a term, some 20 terms). Then
// pi - atan, pi/2 -+ atan as the quadrant asks, and one rounding. The error
// is some 2^-248 absolute against a result >= 2^-8 (k >= 1 or not beside 0),
// or some 2^-250 relative (k = 0 beside 0).
//
// A result beside 0 is atan(y/x) = y/x (1 - (y/x)^2/3 ...), y/x rational:
// where y/x is not a midpoint of the doubles it lies at least 2^-106
// relative from one (its numerator and denominator have 53 bits), far beyond
// the error; where it is one exactly (possible among the subnormals) the true
// value lies strictly below it, which the computed one keeps even when
// (y/x)^2 vanishes in 256 bits. Elsewhere the worst cases of atan2 are not
// tabulated; a pair whose result lay within 2^-240 relative of a midpoint
// would be expected among the 2^126 pairs with probability some 2^-60.
#include <bit>
#include <cmath>
#include <cstdint>

#include "special/atan2.hpp"
#include "special/fixed.hpp"

namespace tarvik::rational {

namespace {

using namespace fixed;
using u64 = std::uint64_t;

const Fixed kOne = {{1, 0, 0, 0, 0}};

// S(z) = sum_n (2n)!!/(2n+1)!! z^n for 0 <= z <= 2^-14.
Fixed euler_series(const Fixed& z) {
  Fixed sum = kOne, term = kOne;
  for (u64 n = 1; n < 100; ++n) {
    term = div_small(mul_small(mul(term, z), 2 * n), 2 * n + 1);
    if (is_zero(term)) break;
    sum = add(sum, term);
  }
  return sum;
}

// a/b for 1 <= b < 2: Newton's iteration y <- y + y (1 - b y) for 1/b from
// the double nearest 1/b's approximation (2^-52 relative): 2^-104, 2^-208,
// then the 256 bits' truncation, some 2^-254; then a y. Six products in
// place of div's 576 steps, but not a truncation: where a midpoint must be
// kept exactly (beside 0, below), div.
Fixed divide(const Fixed& a, const Fixed& b) {
  const double approx = static_cast<double>(b.w[0]) + static_cast<double>(b.w[1]) * 0x1p-64;
  Fixed y = from_double(1.0 / approx);
  for (int i = 0; i < 3; ++i) {
    const Fixed t = mul(b, y);
    const bool above = !less(t, kOne);
    const Fixed c = mul(y, above ? sub(t, kOne) : sub(kOne, t));
    y = above ? sub(y, c) : add(y, c);
  }
  return mul(a, y);
}

// v S(z)/(1 + v^2) = atan(v) for 0 <= v <= 1/128, v2 = v^2; or, given
// v = 2^-D v' and v2 = v'^2, atan(v') 2^-D.
Fixed atan_by_euler(const Fixed& v, const Fixed& v2) {
  const Fixed inverse = divide(kOne, add(kOne, v2));  // 1/(1 + v^2)
  return mul(mul(v, euler_series(mul(v2, inverse))), inverse);
}

// m 2^e = |a| with m in [2^52, 2^53), for a != 0.
void normalised(double a, u64& m, int& e) {
  decompose(a, m, e);
  const int shift = __builtin_clzll(m) - 11;
  m <<= shift;
  e -= shift;
}

}  // namespace

double atan2_last_resort(double y, double x) {
  if (x != x || y != y) return x + y;
  const bool negative_y = std::bit_cast<std::int64_t>(y) < 0;
  const bool negative_x = std::bit_cast<std::int64_t>(x) < 0;
  const double sy = negative_y ? -1.0 : 1.0;
  const double ax = std::fabs(x), ay = std::fabs(y);
  constexpr double kInf = __builtin_inf();
  if (ay == 0.0) return negative_x ? sy * kPiRounded : y;
  if (ax == 0.0) return sy * kHalfPiRounded;
  if (ax == kInf) {
    if (ay == kInf) return sy * (negative_x ? kThreeQuarterPiRounded : kQuarterPiRounded);
    return negative_x ? sy * kPiRounded : sy * 0.0;
  }
  if (ay == kInf) return sy * kHalfPiRounded;

  u64 my = 0, mx = 0;
  int ey = 0, ex = 0;
  normalised(ay, my, ey);
  normalised(ax, mx, ex);
  const bool swap = ey > ex || (ey == ex && my > mx);
  const u64 mn = swap ? mx : my, md = swap ? my : mx;
  int d = (swap ? ex : ey) - (swap ? ey : ex);
  Fixed numerator = {{mn, 0, 0, 0, 0}};
  if (mn < md) {
    numerator.w[0] = 2 * mn;
    --d;
  }
  // In [1, 2); exactly truncated where the result may lie beside 0 (u < 2^-7).
  const Fixed denominator = {{md, 0, 0, 0, 0}};
  const Fixed big_u = !swap && !negative_x && d <= -8
                          ? div(numerator, denominator)
                          : divide(shift_right(numerator, 52), shift_right(denominator, 52));
  const Fixed u = -d >= 320 ? Fixed{} : shift_right(big_u, -d);
  const Fixed u64ths = mul_small(u, 64);
  const u64 k = u64ths.w[0] + (u64ths.w[1] >> 63);

  Fixed at;  // atan(u)
  if (k == 0) {
    Fixed scaled = atan_by_euler(big_u, mul(u, u));
    // atan(u) < u: keep it below where u^2 vanishes.
    if (!less(scaled, big_u)) scaled = sub(big_u, Fixed{{0, 0, 0, 0, 1}});
    if (!swap && !negative_x) return round_to_double(scaled, negative_y, d);
    at = -d >= 320 ? Fixed{} : shift_right(scaled, -d);
  } else {
    const Fixed c = k == 64 ? kOne : Fixed{{0, k << 58, 0, 0, 0}};
    const bool below = less(u, c);
    const Fixed v =
        divide(below ? sub(c, u) : sub(u, c), add(kOne, shift_right(mul_small(u, k), 6)));
    const Fixed av = atan_by_euler(v, mul(v, v));
    const Fixed ac = {{0, kAtanFixed[k][0], kAtanFixed[k][1], kAtanFixed[k][2], kAtanFixed[k][3]}};
    at = below ? sub(ac, av) : add(ac, av);
  }
  const Fixed pi = {{3, kPiFixed[0], kPiFixed[1], kPiFixed[2], kPiFixed[3]}};
  const Fixed half_pi = shift_right(pi, 1);
  Fixed theta;
  if (swap) {
    theta = negative_x ? add(half_pi, at) : sub(half_pi, at);
  } else {
    theta = negative_x ? sub(pi, at) : at;
  }
  return round_to_double(theta, negative_y, 0);
}

}  // namespace tarvik::rational
