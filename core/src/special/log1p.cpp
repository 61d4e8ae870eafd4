// The last resort of the correctly rounded log1p: u = 1 + x = u_hi + u_lo
// exactly, u = 2^E m with m in [sqrt(1/2), sqrt(2)) (to a few ulps, u_lo
// included), and
//   log1p(x) = E ln2 + 2 atanh(s),  s = (m - 1)/(m + 1),  |s| <= 0.172,
// in 256-bit fixed point: m exact (x's last bit is at 2^-106 or above for
// |x| >= 2^-54; for E != 0 u_lo 2^-E is truncated at 2^-256), s by one
// division (2^-256), atanh(s) = s + s^3/3 + s^5/5 + ... to the first term
// below 2^-256, each power truncated (errors that shrink with s^2 < 0.03:
// some 2^-249 in all), E ln2 to 1024 2^-256. So log1p(x) within some 2^-245
// absolute: 2^-190 relative for E = 0, where |log1p(x)| >= 0.7 |x| >=
// 2^-55, and 2^-243 for E != 0 (|log1p(x)| >= 0.34);
// the rounding below is log1p(x)'s: exhaustive searches of the binary64
// worst cases (V. Lefevre and J.-M. Muller, ARITH 15, 2001, and Lefevre's
// later tables) find no argument anywhere near 2^-189 relative from a
// midpoint; the nearest by construction are tiny x where x - x^2/2 is a midpoint and x^3/6
// alone separates them, some x^2/6 >= 2^-111 relative for |x| >= 2^-54.
#include <bit>
#include <cmath>
#include <cstdint>

#include "special/fixed.hpp"
#include "special/log1p.hpp"

namespace tarvik::rational {

double log1p_last_resort(double x) {
  if (x != x) return x + x;
  if (x == -1.0) return -__builtin_inf();
  if (x < -1.0) return __builtin_nan("");
  if (x == __builtin_inf()) return x;
  if (std::fabs(x) < kLog1pTiny) return x;
  using namespace fixed;
  const Pair<double> u = two_sum(1.0, x);
  // u_hi = 2^e m_hi, m_hi in [sqrt(1/2), sqrt(2)), as on the fast path.
  const std::int64_t bits = std::bit_cast<std::int64_t>(u.hi);
  const std::int64_t e = (bits - 0x3fe6a09e667f3bcd) >> 52;
  const double m_hi = std::bit_cast<double>(bits - (e << 52));
  const std::int64_t half = e >> 1;
  const double m_lo = (u.lo * power_of_two<double>(-half)) * power_of_two<double>(half - e);
  const Fixed m = m_lo < 0 ? sub(from_double(m_hi), from_double(m_lo))
                           : add(from_double(m_hi), from_double(m_lo));
  return round_log(e, m);
}

}  // namespace tarvik::rational
