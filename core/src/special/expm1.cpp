// The last resort of the correctly rounded expm1: x = k ln2 + r with
// |r| <= ln2/2 + 2^-40 as in exp's (exp.cpp), exp(r) in 256-bit fixed point
// to some 2^-245, and
//   expm1(x) = 2^k (exp(r) - 2^-k),
// 2^-k exact in the 320-bit format for k in [-63, 256] (here k >= -55) and
// dropped beyond k = 256, where it is below the error. The subtraction
// cancels only for k = 0, where |exp(r) - 1| >= |x|/2 >= 2^-55: the error
// stays below 2^-189 relative, and 2^-243 for k != 0 (|exp(r) - 2^-k| >= 0.2);
// the rounding below is expm1(x)'s: exhaustive searches of the binary64
// worst cases (V. Lefevre and J.-M. Muller, ARITH 15, 2001, and Lefevre's
// later tables) find no argument anywhere near 2^-189 relative from a
// midpoint; the nearest by construction are tiny x where x + x^2/2 is a midpoint and x^3/6
// alone separates them, some x^2/6 >= 2^-111 relative for |x| >= 2^-54.
#include <cmath>
#include <cstdint>

#include "special/expm1.hpp"
#include "special/fixed.hpp"

namespace tarvik::rational {

double expm1_last_resort(double x) {
  if (x != x) return x + x;
  if (x > kExpOverflow) return __builtin_inf();
  if (x < kExpm1MinusOne) return -1.0;
  if (std::fabs(x) < kExpm1Tiny) return x;
  using namespace fixed;
  long k = 0;
  bool r_negative = false;
  const Fixed ar = reduce_by_ln2(x, k, r_negative);
  const Fixed er = exp_of(ar, r_negative);
  // 2^-k: bit 256 - k of the 320-bit integer (bit 256 is 1).
  Fixed power;
  if (k <= 256) {
    const long b = 256 - k;
    power.w[4 - b / 64] = std::uint64_t{1} << (b % 64);
  }
  const bool negative = less(er, power);
  const Fixed d = negative ? sub(power, er) : sub(er, power);
  return round_to_double(d, negative, static_cast<int>(k));
}

}  // namespace tarvik::rational
