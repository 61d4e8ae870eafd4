// The last resort of the correctly rounded exp: exp(x) in fixed point with
// 256 fractional bits, then one rounding to the double (or subnormal) grid.
//
// x = k ln2 + r with |r| <= ln2/2 + 2^-40, r exact to 2^-250 (x is a
// multiple of 2^-106 here, ln 2 is known to 2^-256); exp(r) by Taylor's
// series to the term below 2^-300, each term t_n = t_(n-1) |r| / n truncated
// (error at most 2^-255 a term, not growing since |r| < 1), so exp(r) in
// [0.70, 1.42] is known to some 2^-245 absolute (special/fixed.hpp). No
// double lies so near a midpoint: the worst cases of binary64 exp (V. Lefevre
// and J.-M. Muller, "Worst cases for correct rounding of the elementary
// functions in double precision", ARITH 15, 2001) lie some 2^-(53+60)
// relative from one for |x| >= 2^-54, so the rounding below is exp(x)'s.
#include <cstdint>

#include "special/exp.hpp"
#include "special/fixed.hpp"

namespace tarvik::rational {

double exp_last_resort(double x) {
  if (x != x) return x + x;
  if (x > kExpOverflow) return __builtin_inf();
  if (x < kExpZero) return 0.0;
  if (abs_of(x) < kExpTiny) return 1.0;
  using namespace fixed;
  long k = 0;
  bool r_negative = false;
  const Fixed ar = reduce_by_ln2(x, k, r_negative);
  return round_to_double(exp_of(ar, r_negative), false, static_cast<int>(k));
}

}  // namespace tarvik::rational
