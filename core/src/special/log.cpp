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
  return round_log(e, from_double(m));
}

}  // namespace tarvik::rational
