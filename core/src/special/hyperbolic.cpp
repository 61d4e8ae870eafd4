// The last resorts of the correctly rounded sinh and cosh: a = |x| =
// k ln2 + r with |r| <= ln2/2 + 2^-40, r exact but for ln 2's error (k ln 2
// to 1025 2^-256; a's last bit is at 2^-78 or above), e^r and e^-r in
// 256-bit fixed point to some 2^-245 each (fixed::exp_of), and
//   2^(1-k) sinh(a) = e^r - 2^-2k e^-r,   2^(1-k) cosh(a) = e^r + 2^-2k e^-r,
// 2^-2k e^-r by a truncating shift (2^-256). The difference cancels only
// for k = 0, where it is 2 sinh(a) >= 2a >= 2^-25: the error stays below
// 2^-218 relative, and 2^-242 for k != 0 (e^r - e^-r/4 >= 0.35) and for
// cosh. Then one rounding. The arguments near 0 that come nearest a
// midpoint by construction, where a +- a^3/6 (or 1 + a^2/2) is one, are
// separated from it by the next term, a^4/120 >= 2^-111 relative for
// a >= 2^-26; elsewhere a double whose sinh or cosh lay within 2^-210
// relative of a midpoint would be expected among the 2^63 arguments with
// probability some 2^-94.
#include <cmath>
#include <cstdint>

#include "special/fixed.hpp"
#include "special/hyperbolic.hpp"

namespace tarvik::rational {

namespace {

// 2^(1-k) sinh(a) (or cosh, `plus`) for a in [kHyperbolicTiny,
// kHyperbolicOverflow], rounded with the sign `negative`.
double round_half_sum(double a, bool plus, bool negative) {
  using namespace fixed;
  long k = 0;
  bool r_negative = false;
  const Fixed ar = reduce_by_ln2(a, k, r_negative);  // k >= 0
  const Fixed up = exp_of(ar, r_negative);
  const Fixed down = shift_right(exp_of(ar, !r_negative), static_cast<int>(2 * k));
  return round_to_double(plus ? add(up, down) : sub(up, down), negative, static_cast<int>(k - 1));
}

}  // namespace

double sinh_last_resort(double x) {
  const double a = std::fabs(x);
  if (!(a >= kHyperbolicTiny && a <= kHyperbolicOverflow)) {
    if (a > kHyperbolicOverflow) return x * __builtin_inf();
    return a < kHyperbolicTiny ? x : x + x;
  }
  return round_half_sum(a, false, x < 0.0);
}

double cosh_last_resort(double x) {
  const double a = std::fabs(x);
  if (!(a >= kHyperbolicTiny && a <= kHyperbolicOverflow)) {
    if (a > kHyperbolicOverflow) return __builtin_inf();
    return a < kHyperbolicTiny ? 1.0 : x + x;
  }
  return round_half_sum(a, true, false);
}

}  // namespace tarvik::rational
