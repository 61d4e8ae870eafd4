// The last resort of the correctly rounded log: log x in fixed point with 256
// fractional bits, then one rounding.
//
// x = 2^e m exactly, m in [sqrt(2)/2, sqrt(2)] (subnormal x included), and
// ln m = 2 atanh(s), s = (m - 1)/(m + 1), |s| <= 0.172, by its series
// 2 sum s^(2n+1)/(2n+1) to the term below 2^-300 (s^2 < 2^-5: some 50
// terms, each truncated); s itself from one fixed-point division (error
// 2^-256). ln m is then known to some 2^-248 absolute and e ln2 to
// 1075 2^-256, so log x to 2^-245 absolute, which is 2^-190 relative even at
// the smallest |log x| a double other than 1 gives (2^-53): far from any
// midpoint it could be mistaken for (Lefevre and Muller's worst cases of
// binary64 log lie some 2^-(53+64) relative from one).
#include <cstdint>

#include "special/fixed.hpp"
#include "special/log.hpp"

namespace tarvik::rational {

double log_last_resort(double x) {
  if (x != x) return x + x;
  if (x == 0.0) return -__builtin_inf();
  if (x < 0.0) return __builtin_nan("");
  if (x == __builtin_inf()) return x;
  if (x == 1.0) return 0.0;
  using namespace fixed;
  // x = m 2^e with m in [sqrt(2)/2, sqrt(2)): from x = mant 2^e0, mant an
  // integer below 2^53, m = mant 2^-(L) with L its bit length.
  std::uint64_t mant = 0;
  int e0 = 0;
  decompose(x, mant, e0);
  const int length = 64 - __builtin_clzll(mant);
  double m = static_cast<double>(mant) * pow2(-length);  // in [0.5, 1)
  int e = e0 + length;
  if (m < kSqrt2 * 0.5) {
    m *= 2.0;
    e -= 1;
  }
  const Fixed one = {{1, 0, 0, 0, 0}};
  const Fixed fm = from_double(m);
  const bool below_one = less(fm, one);
  const Fixed s = div(below_one ? sub(one, fm) : sub(fm, one), add(fm, one));
  // 2 atanh(s) = 2 (s + s^3/3 + s^5/5 + ...).
  const Fixed s2 = mul(s, s);
  Fixed power = s, sum = s;
  for (std::uint64_t n = 3; n < 200; n += 2) {
    power = mul(power, s2);
    const Fixed term = div_small(power, n);
    if (is_zero(term)) break;
    sum = add(sum, term);
  }
  const Fixed ln_m = add(sum, sum);  // its sign: below_one
  if (e == 0) return round_to_double(ln_m, below_one, 0);
  const Fixed e_ln2 = mul_small(ln2(), static_cast<std::uint64_t>(e < 0 ? -e : e));
  const bool e_negative = e < 0;
  if (e_negative == below_one) return round_to_double(add(e_ln2, ln_m), e_negative, 0);
  // Opposite signs: |e ln2| >= ln2 > |ln m|, so the sign is e's.
  return round_to_double(sub(e_ln2, ln_m), e_negative, 0);
}

}  // namespace tarvik::rational
