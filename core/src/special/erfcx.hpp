// The scaled complementary error function erfcx(x) = exp(x^2) * erfc(x) by
// W. J. Cody, "Rational Chebyshev approximations for the error function",
// Math. Comp. 23 (1969) 631-637, in the form of his routine for the scaled
// function: a rational function in x^2 for |x| <= 0.46875, in |x| for
// 0.46875 < |x| <= 4 and in 1/x^2 beyond, then the reflection
// erfcx(x) = 2 exp(x^2) - erfcx(-x) for negative x outside the first range.
// The rational parts are templates over the value type (value.hpp), shared by
// erfcx_cody and the lane kernels; the exponentials are the callers'.
#pragma once

#include <cmath>

#include "special/value.hpp"
#include "tarvik/elementary.hpp"

namespace tarvik::rational {
namespace {

inline constexpr double kErfcxSplitSmall = 0.46875;
inline constexpr double kErfcxSplitMid = 4.0;
inline constexpr double kErfcxXSmall = 1.11e-16;  // below this, x^2 is negligible in range 1
inline constexpr double kErfcxXHuge = 6.71e7;     // from here, erfcx(x) = 1/(sqrt(pi) x)
inline constexpr double kErfcxXMax = 2.53e307;    // from here, erfcx(x) is taken as 0
inline constexpr double kErfcxXNeg = -26.628;     // below this, 2 exp(x^2) overflows
inline constexpr double kErfcxXInf = 1.79e308;    // stands in for an overflowing result
inline constexpr double kInvSqrtPi = 0.56418958354775628;

// Cody's coefficients, each polynomial from its highest power down (his
// names in the comments). Measured maximum relative error, reflection
// included, against the 50-digit references of core/tests/data (both sides
// of every split): 1.4 eps.

// clang-format off
// |x| <= 0.46875: erf(x) = x A(x^2) / B(x^2).
inline constexpr Poly<5> kCodyA = {0.18577770618460315 /* A5 */, 3.1611237438705655, 113.86415415105016,
                        377.48523768530202, 3209.3775891384694 /* A4 */};
inline constexpr Poly<5> kCodyB = {1.0, 23.601290952344122, 244.02463793444417, 1282.6165260773723,
                        2844.2368334391708 /* B4 */};

// 0.46875 < |x| <= 4: erfcx(|x|) = C(|x|) / D(|x|).
inline constexpr Poly<9> kCodyC = {2.1531153547440383e-08 /* C9 */, 0.56418849698867013, 8.8831497943883768,
                        66.119190637141628, 298.63513819740012, 881.95222124176905,
                        1712.0476126340707, 2051.0783778260716, 1230.3393547979972 /* C8 */};
inline constexpr Poly<9> kCodyD = {1.0, 15.744926110709835, 117.6939508913125, 537.18110186200988,
                        1621.3895745666903, 3290.7992357334597, 4362.6190901432474,
                        3439.3676741437216, 1230.3393548037495 /* D8 */};

// |x| > 4: erfcx(|x|) = (1/sqrt(pi) - w P(w) / Q(w)) / |x| with w = 1/x^2.
inline constexpr Poly<6> kCodyP = {0.016315387137302097 /* P6 */, 0.30532663496123236, 0.36034489994980445,
                        0.12578172611122926, 0.016083785148742275,
                        0.00065874916152983782 /* P5 */};
inline constexpr Poly<6> kCodyQ = {1.0, 2.5685201922898222, 1.8729528499234604, 0.52790510295142845,
                        0.060518341312441319, 0.0023352049762686918 /* Q5 */};
// clang-format on

// |x| <= 0.46875: erfcx(x) = exp(w) * small_range(x, w), w = small_range_w(x, |x|).
template <class V>
[[gnu::always_inline]] inline V erfcx_small_w(V x, V y) {
  return select(y > kErfcxXSmall, x * x, 0.0);
}
template <class V>
[[gnu::always_inline]] inline V erfcx_small(V x, V w) {
  // erfc = 1 - erf holds for either sign here: no reflection.
  return 1.0 - (x * horner(kCodyA, w)) / horner(kCodyB, w);
}
// 0.46875 < |x| <= 4: erfcx(|x|), y = |x|.
template <class V>
[[gnu::always_inline]] inline V erfcx_mid(V y) {
  return horner_ratio(kCodyC, kCodyD, y);
}
// |x| > 4 (and NaN): erfcx(|x|).
template <class V>
[[gnu::always_inline]] inline V erfcx_large(V x, V y) {
  const V w = 1.0 / (x * x);
  V r = (kInvSqrtPi - (w * horner(kCodyP, w)) / horner(kCodyQ, w)) / y;
  r = select(y >= kErfcxXHuge, kInvSqrtPi / y, r);
  return select(y >= kErfcxXMax, 0.0, r);
}

// x's range's rational function, over a value or lanes: 1 - erf(x) for
// |x| <= 0.46875 (erfcx without its factor exp(x^2)), else erfcx(|x|);
// y = |x|. A range's function is formed where some lane is in it (NaN takes
// the last range).
template <class V>
[[gnu::always_inline]] inline V erfcx_by_range(V x, V y) {
  const auto small = y <= kErfcxSplitSmall;
  const auto large = mask_not(y <= kErfcxSplitMid);
  V r1 = splat<V>(0.0);
  if (any(small)) r1 = erfcx_small(x, erfcx_small_w(x, y));
  V r = splat<V>(0.0);
  if (any(mask_not(small)) && any(y <= kErfcxSplitMid)) r = erfcx_mid(y);
  if (any(large)) r = select(large, erfcx_large(x, y), r);
  return select(small, r1, r);
}

// Phi(x) given e = exp(-x^2 / 2), for a caller that needs the density's
// exponential anyway (the American boundary's sweeps): erfc(t) / 2 at
// t = -x / sqrt(2), 1 - erf(t) for |t| <= 0.46875 and erfcx(|t|) e beyond,
// then reflected for x > 0 (erfc(t) = 2 - erfc(|t|)). e stands in for
// exp(-t^2): the two exponents differ by rounding only, some 1e-16 x^2
// relative, far below what the sweeps resolve. It spares the call of erfc,
// which takes exponentials of its own.
template <class V>
[[gnu::always_inline]] inline V norm_cdf_given_density(V x, V e) {
  const V t = x * -kSqrtHalf;
  const V a = abs_of(t);
  const V r = erfcx_by_range(t, a);
  const V tail = 0.5 * (r * e);
  return select(a <= kErfcxSplitSmall, 0.5 * r, select(t > 0.0, tail, 1.0 - tail));
}

// erfcx(x) for kErfcxXNeg <= x < -0.46875 from r = erfcx(|x|):
// 2 exp(x^2) - r, with x^2 split as xs^2 + (x - xs)(x + xs) where xs = x
// truncated to a multiple of 1/16, so that xs^2 is exact and the rounding
// error of x^2 does not reach the exponential.
inline double erfcx_reflection(double x, double r) {
  const double xs = std::trunc(16.0 * x) / 16.0;
  const double d = (x - xs) * (x + xs);
  const double v = elementary::exp(xs * xs) * elementary::exp(d);
  return (v + v) - r;
}

}  // namespace

// Total: 0 for x >= 2.53e307 and for +inf, 1.79e308 (the stand-in for an
// overflowing result) for x < -26.628 and for -inf, NaN for NaN. Pure,
// allocation-free.
double erfcx_cody(double x);

}  // namespace tarvik::rational
