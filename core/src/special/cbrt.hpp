// cbrt(x) correctly rounded to nearest for every double x, in the shape of
// exp (exp.hpp): a fast path whose error is bounded, Ziv's rounding test,
// and a fixed-point last resort (cbrt.cpp) for the rest.
//
// Fast path, a = |x| normal: a = 2^(3q + r) m, m in [1, 2), r in {0, 1, 2}
// (from the exponent's bits, q by a multiplication and a shift), and
//   cbrt(a) = 2^q 2^(r/3) cbrt(m).
// y0 = cbrt(m) (1 + e0), |e0| <= 2^-39.09: a polynomial of degree 4 on one
// of 32 intervals of [1, 2) (cbrt_tables.hpp, 2^-39.1 with its rounded
// coefficients), its evaluation in double adding some 2^-52. Then one
// Newton step in double-double,
//   y = y0 + (m - y0^3)/(3 y0^2) = cbrt(m) (1 + (e0^2 + 2 e0^3/3)/(1 + e0)^2):
// an error e0^2 <= 2^-78.18; y0^3 to 2^-105 (two exact products and one
// rounded), m - y0^3 exact (Sterbenz) and small (2^-37 m), the correction
// to 2^-52 of itself (2^-89 of y), y = y0 + correction an exact pair. The
// product with 2^(r/3) (a double-double, 2^-110) adds 2^-104. In all below
// 2^-78.1, measured 2^-78.3 over 10^8 arguments (reference/correct_rounding
// --only cbrt --count 100000000 --error). The rounding test takes 2^-72, as
// the bound leaves room: one argument in some 2^18 reaches the last resort.
//
// A subnormal a is scaled by 2^54 (exactly) and its root by 2^-18;
// cbrt(+-0) = +-0, cbrt(+-inf) = +-inf. No result is a midpoint (a 54-bit
// number's cube is no double) nor leaves the normal range.
#pragma once

#include <cstdint>

#include "special/cbrt_tables.hpp"
#include "special/exact.hpp"
#include "special/hyperbolic.hpp"
#include "special/value.hpp"
#include "special/ziv.hpp"

namespace tarvik::rational {

// cbrt(x) for any x, correctly rounded, by the fixed-point method alone.
double cbrt_last_resort(double x);

namespace {

inline constexpr double kCbrtTestError = 0x1p-72;

// cbrt(a) = 2^scale (hi + lo) for a positive normal a, within the error
// bound above.
template <class V>
[[gnu::always_inline]] inline Pair<V> cbrt_reduced(V a, LaneInt<V>& scale) {
  using I = LaneInt<V>;
  const I bits = bits_of(a);
  // a = 2^E m, E + 1026 = 3 q' + r in [4, 2049] (q' = n 43691 >> 17, exact
  // for n < 2^16), q = q' - 342.
  const I n = (bits >> 52) + 3;
  const I q = (n * 43691) >> 17;
  const I r = n - 3 * q;
  scale = q - 342;
  const I m_bits = (bits & 0x000fffffffffffff) | splat<I, std::int64_t>(std::int64_t{1023} << 52);
  const V m = from_bits<V>(m_bits);
  const I row = (m_bits >> 47) & 31;
  const V t = m - from_bits<V>(((m_bits >> 46) | 1) << 46);  // exact
  V y0 = gather<V>(kCbrtStart, row, 0);
  for (int k = 1; k < 5; ++k) y0 = y0 * t + gather<V>(kCbrtStart, row, k);
  // One Newton step.
  const Pair<V> sq = two_prod(y0, y0);
  const Pair<V> cube = two_prod(y0, sq.hi);
  const V d = ((m - cube.hi) - cube.lo) - y0 * sq.lo;
  const Pair<V> y = fast_two_sum(y0, d / (3.0 * sq.hi));
  // Times 2^(r/3).
  const V c_hi = gather<V>(kCbrtOfTwo, r, 0), c_lo = gather<V>(kCbrtOfTwo, r, 1);
  const Pair<V> p = two_prod(y.hi, c_hi);
  return fast_two_sum(p.hi, p.lo + (y.hi * c_lo + y.lo * c_hi));
}

// The fast path for normal x: the correctly rounded cbrt(x) where
// `decided`, something else elsewhere.
template <class V>
[[gnu::always_inline]] inline V cbrt_fast(V x, Mask<V>& decided) {
  LaneInt<V> scale;
  const V up = ziv_round(cbrt_reduced(abs_of(x), scale), kCbrtTestError, decided);
  return with_sign_of(times_power_of_two(up, scale), x);
}

// cbrt(x) correctly rounded to nearest, each lane.
template <class V>
[[gnu::always_inline]] inline V cbrt_correct(V x) {
  constexpr double kMinNormal = 0x1p-1022;
  if constexpr (kScalar<V>) {
    const double a = abs_of(x);
    double scaled = x, back = 1.0;
    if (!(a >= kMinNormal && a < __builtin_inf())) {
      if (a == 0.0 || !(a < __builtin_inf())) return x + x;
      scaled = x * 0x1p54;
      back = 0x1p-18;
    }
    bool decided;
    const double y = cbrt_fast(scaled, decided);
    return decided ? y * back : cbrt_last_resort(x);
  } else {
    const V a = abs_of(x);
    return correct_lanes(
        x, (a >= kMinNormal) & (a < __builtin_inf()), 1.0,
        [](V v, Mask<V>& decided) { return cbrt_fast(v, decided); },
        [](double v) { return cbrt_correct(v); });
  }
}

}  // namespace
}  // namespace tarvik::rational
