// The last resort of the correctly rounded asinh: asinh(a) = ln(u),
// u = a + sqrt(a^2 + 1), in 256-bit fixed point (special/fixed.hpp).
// a = 2^g A with g = 0 below 2^30 (A = a, A^2 + 1 < 2^61 exact: a's last
// bit is at 2^-78 or above) and A in [1, 2) above, where
//   u 2^-g = A + sqrt(A^2 + 2^-2g),
// 2^-2g exact for g <= 128 and dropped beyond (an error below 2^-258 in
// ln u). The square root by Newton's iteration s <- (s + Q/s)/2 from the
// double square root (2^-52): three steps reach the truncation's floor,
// some 2^-254. Then u 2^-g = 2^e m, m in [sqrt(2)/2, sqrt(2)] (a
// truncating shift, 2^-256), and fixed::round_log(g + e, m) gives
// (g + e) ln2 + ln m to some 2^-247 absolute and rounds once: 2^-221
// relative at the least result, asinh(2^-26). The arguments near 0 that
// come nearest a midpoint by construction, where a - a^3/6 is one, are
// separated from it by 3a^5/40, 2^-111 relative for a >= 2^-26; elsewhere
// a double whose asinh lay within 2^-220 relative of a midpoint would be
// expected among the 2^63 arguments with probability some 2^-104.
#include <bit>
#include <cmath>
#include <cstdint>

#include "special/asinh.hpp"
#include "special/fixed.hpp"
#include "special/log.hpp"

namespace tarvik::rational {

namespace {

using namespace fixed;

// sqrt(q) for 1 <= q < 2^62.
Fixed square_root(const Fixed& q) {
  const double approx = static_cast<double>(q.w[0]) + static_cast<double>(q.w[1]) * 0x1p-64;
  Fixed s = from_double(std::sqrt(approx));
  for (int i = 0; i < 3; ++i) s = shift_right(add(s, div(q, s)), 1);
  return s;
}

}  // namespace

double asinh_last_resort(double x) {
  const double a = std::fabs(x);
  if (!(a >= kAsinhTiny && a < __builtin_inf())) return a < kAsinhTiny ? x : x + x;
  std::uint64_t mant = 0;
  int e0 = 0;
  decompose(a, mant, e0);  // a = mant 2^e0, mant in [2^52, 2^53)
  const bool large = a >= 0x1p30;
  const int g = large ? e0 + 52 : 0;
  const Fixed big_a = from_double(large ? static_cast<double>(mant) * 0x1p-52 : a);
  Fixed q = mul(big_a, big_a);
  if (g <= 128) {
    const int b = 256 - 2 * g;  // 2^-2g: bit b of the 320-bit integer
    Fixed power;
    power.w[4 - b / 64] = std::uint64_t{1} << (b % 64);
    q = add(q, power);
  }
  const Fixed u = add(big_a, square_root(q));
  // u = 2^e m, m in [1, 2) then in [sqrt(2)/2, sqrt(2)].
  int e = 63 - __builtin_clzll(u.w[0]);
  Fixed m = shift_right(u, e);
  if (!less(m, from_double(kSqrt2))) {
    m = shift_right(m, 1);
    e += 1;
  }
  const double y = round_log(g + e, m);
  return x < 0.0 ? -y : y;
}

}  // namespace tarvik::rational
