// The last resort of the correctly rounded erfc, in 256-bit fixed point
// (special/fixed.hpp), c = 2/sqrt(pi):
// - |x| <= 5: erf|x| = c sum (-1)^n |x|^(2n+1) / (n! (2n+1)) (Abramowitz and
//   Stegun 7.1.5), the positive and negative terms summed apart, each term
//   truncated (three errors of 2^-256 a term, some 130 terms at most: 2^-247);
//   the terms reach e^(x^2) <= 2^36.1, the result erfc(5) >= 2^-39.3, so
//   erfc(x) = 1 -+ erf|x| is known to some 2^-207 relative.
// - 5 < |x| <= 27.3: erfc|x| = exp(-x^2) c / (2|x| + 2/(2|x| + 4/(2|x| +
//   6/(...)))), Laplace's continued fraction (A&S 7.1.14 in the equivalent
//   form with integer numerators), its convergents A_n/B_n by the forward
//   recurrence, both rescaled by 2^-32 whenever A_n passes 2^40 (so each
//   step truncates at some 2^-260 relative); 60 + 5000/x^2 terms, where
//   2^-270 needs 230 at x = 5 and 45 at x = 27.3; x^2 exactly, exp(-x^2)
//   by the fixed-point exponential (fixed.hpp) to 2^-245.
// Then one rounding, to the subnormal grid where the result is below
// 2^-1022. Worst cases of erfc are not tabulated as exp's are; a double
// whose erfc lies within 2^-200 relative of a midpoint would be expected
// among 2^63 arguments with probability some 2^-84.
#include <cmath>
#include <cstdint>

#include "special/erfc.hpp"
#include "special/fixed.hpp"

namespace tarvik::rational {

namespace {

using namespace fixed;
using u64 = std::uint64_t;

constexpr double kSeriesTop = 5.0;

Fixed two_by_sqrt_pi() {
  return {{1, kTwoBySqrtPiFixed[0], kTwoBySqrtPiFixed[1], kTwoBySqrtPiFixed[2],
           kTwoBySqrtPiFixed[3]}};
}

// sum (-1)^n a^(2n+1) / (n! (2n+1)) for 0 < a <= 5.
Fixed erf_series(const Fixed& a) {
  const Fixed a2 = mul(a, a);
  Fixed plus = a, minus;
  Fixed power = a;  // a^(2n+1) / n!
  for (u64 n = 1; n < 400; ++n) {
    power = div_small(mul(power, a2), n);
    if (is_zero(power)) break;
    const Fixed term = div_small(power, 2 * n + 1);
    if (n & 1) {
      minus = add(minus, term);
    } else {
      plus = add(plus, term);
    }
  }
  return sub(plus, minus);
}

// B/A for A/B = 2a + 2/(2a + 4/(2a + 6/(...))) to `terms` terms, 5 < a <= 27.3.
Fixed continued_fraction(const Fixed& a, int terms) {
  const Fixed b = add(a, a);
  Fixed a_prev = {{1, 0, 0, 0, 0}}, a_cur = b;
  Fixed b_prev, b_cur = {{1, 0, 0, 0, 0}};
  for (u64 n = 1; n <= static_cast<u64>(terms); ++n) {
    const Fixed a_next = add(mul(b, a_cur), mul_small(a_prev, 2 * n));
    const Fixed b_next = add(mul(b, b_cur), mul_small(b_prev, 2 * n));
    a_prev = a_cur;
    a_cur = a_next;
    b_prev = b_cur;
    b_cur = b_next;
    if (a_cur.w[0] >= (u64{1} << 40)) {
      a_prev = shift_right(a_prev, 32);
      a_cur = shift_right(a_cur, 32);
      b_prev = shift_right(b_prev, 32);
      b_cur = shift_right(b_cur, 32);
    }
  }
  return div(b_cur, a_cur);
}

}  // namespace

double erfc_last_resort(double x) {
  if (x != x) return x + x;
  if (x < kErfcTwo) return 2.0;
  if (x > kErfcZero) return 0.0;
  if (std::fabs(x) < kErfcTiny) return 1.0;
  const double ax = std::fabs(x);
  const Fixed a = from_double(ax);
  const Fixed one = {{1, 0, 0, 0, 0}};
  if (ax <= kSeriesTop) {
    const Fixed erf = mul(two_by_sqrt_pi(), erf_series(a));
    return round_to_double(x > 0.0 ? sub(one, erf) : add(one, erf), false, 0);
  }
  // exp(-x^2) = 2^-k exp(-r), x^2 = k ln2 + r.
  long k = 0;
  bool r_negative = false;
  const Fixed r = reduce_by_ln2(mul(a, a), ax * ax, k, r_negative);
  const int terms = 60 + static_cast<int>(5000.0 / (ax * ax));
  const Fixed v =
      mul(mul(exp_of(r, !r_negative), two_by_sqrt_pi()), continued_fraction(a, terms));
  if (x > 0.0) return round_to_double(v, false, static_cast<int>(-k));
  const Fixed two = {{2, 0, 0, 0, 0}};
  return round_to_double(sub(two, shift_right(v, static_cast<int>(k))), false, 0);
}

}  // namespace tarvik::rational
