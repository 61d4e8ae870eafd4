// The last resort of the correctly rounded cbrt: a = |x| = 2^(3q + r) m as
// on the fast path (a subnormal a scaled by 2^54 first), z = 2^r m in
// [1, 8) exactly in 256-bit fixed point (special/fixed.hpp), and cbrt(z) by
// Newton's iteration s <- (2s + z/s^2)/3 from the fast path's double (within
// 2^-52): each step squares the relative error and truncates three times
// (2^-256 each), so three steps reach some 2^-254. Then one rounding, with
// the scale 2^q. A double whose cube root lay within 2^-240 relative of a
// midpoint would be expected among the 2^63 arguments with probability
// some 2^-124 (no root is a midpoint itself: a 54-bit number's cube is no
// double).
#include <cmath>
#include <cstdint>

#include "special/cbrt.hpp"
#include "special/fixed.hpp"

namespace tarvik::rational {

double cbrt_last_resort(double x) {
  using namespace fixed;
  double a = std::fabs(x);
  if (a == 0.0 || !(a < __builtin_inf())) return x + x;
  int shift = 0;
  if (a < 0x1p-1022) {
    a *= 0x1p54;
    shift = -18;
  }
  std::int64_t scale = 0;
  const double start = cbrt_reduced(a, scale).hi;
  // z = 2^r m = a 2^-3q, exact (a normal, 3q near its exponent).
  const Fixed z = from_double(a * pow2(static_cast<int>(-3 * scale)));
  Fixed s = from_double(start);
  for (int i = 0; i < 3; ++i) {
    s = div_small(add(add(s, s), div(z, mul(s, s))), 3);
  }
  return round_to_double(s, x < 0.0, static_cast<int>(scale) + shift);
}

}  // namespace tarvik::rational
