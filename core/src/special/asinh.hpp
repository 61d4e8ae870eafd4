// asinh(x) correctly rounded to nearest for every double x, in the shape of
// exp (exp.hpp): a fast path whose error is bounded, Ziv's rounding test,
// and a fixed-point last resort (asinh.cpp) for the rest.
//
// Fast path, a = |x| in [2^-26, DBL_MAX], asinh(a) = log(u):
// - a < 2^27: u = a + sqrt(a^2 + 1) as a double-double: a^2 an exact
//   product, 1 + a^2 = Q to 2^-106, sqrt(Q) = s_hi + (Q - s_hi^2)/(2 s_hi),
//   s_hi = RN(sqrt(Q_hi)) and s_hi^2 exact (Q - s_hi^2 < 2^-51 Q, so the
//   omitted term of the square root's series is below 2^-105), then a +
//   s_hi exactly: u within 2^-104 relative.
// - a >= 2^27: u/2 = a + 1/(4a), the rest of the series -1/(16 a^3) below
//   2^-112 relative, and log u = log(u/2) + ln 2.
// log u by log1p's method on a pair (log1p.hpp: log_of_pair, within
// 2^-68.5 relative where u = 1 + x is exact). u's own error, 2^-104
// absolute in log u, is 2^-78 relative at the least result, asinh(2^-26);
// nothing cancels (u >= 1). In all below 2^-68.4, measured 2^-70.5 over
// 10^8 arguments (reference/correct_rounding --only asinh --count 100000000
// --error). The rounding test takes 2^-66: some 1 argument in 8,800
// reaches the last resort.
//
// Below a = 2^-26, a^2/6 < 2^-54.5 is below half an ulp of a relative, so
// asinh(x) = x - x^3/6 + ... rounds to x (and keeps the sign of -0); the
// results are normal elsewhere. asinh(+-inf) = +-inf.
#pragma once

#include <cstdint>

#include "special/exact.hpp"
#include "special/hyperbolic.hpp"
#include "special/log1p.hpp"
#include "special/value.hpp"
#include "special/ziv.hpp"

namespace tarvik::rational {

// asinh(x) for any x, correctly rounded, by the fixed-point method alone.
double asinh_last_resort(double x);

namespace {

// |x| below this: asinh(x) rounds to x.
inline constexpr double kAsinhTiny = 0x1p-26;
// From here up, u/2 = a + 1/(4a).
inline constexpr double kAsinhLarge = 0x1p27;
inline constexpr double kAsinhTestError = 0x1p-66;

// asinh(a) = hi + lo for a in [kAsinhTiny, DBL_MAX], within the error
// bound above.
template <class V>
[[gnu::always_inline]] inline Pair<V> asinh_reduced(V a) {
  const Mask<V> large = a >= kAsinhLarge;
  // u = a + sqrt(1 + a^2), b = a where a is below kAsinhLarge.
  const V b = select(large, 1.0, a);
  const Pair<V> sq = two_prod(b, b);
  const Pair<V> q = two_sum(splat<V>(1.0), sq.hi);
  const V q_lo = q.lo + sq.lo;
  const V s_hi = sqrt_of(q.hi);
  const Pair<V> e = two_prod(s_hi, s_hi);
  const V s_lo = (((q.hi - e.hi) - e.lo) + q_lo) / (s_hi + s_hi);
  const Pair<V> u = fast_two_sum(s_hi, b);
  const Pair<V> arg = {select(large, a, u.hi), select(large, 0.25 / a, u.lo + s_lo)};
  return log_of_pair(arg, select(large, 1.0, 0.0));
}

// The fast path for |x| in [kAsinhTiny, DBL_MAX]: the correctly rounded
// asinh(x) where `decided`, something else elsewhere.
template <class V>
[[gnu::always_inline]] inline V asinh_fast(V x, Mask<V>& decided) {
  return with_sign_of(ziv_round(asinh_reduced(abs_of(x)), kAsinhTestError, decided), x);
}

// asinh(x) correctly rounded to nearest, each lane.
template <class V>
[[gnu::always_inline]] inline V asinh_correct(V x) {
  constexpr double kMax = 0x1.fffffffffffffp+1023;
  if constexpr (kScalar<V>) {
    const double a = abs_of(x);
    if (!(a >= kAsinhTiny && a <= kMax)) return a < kAsinhTiny ? x : x + x;
    bool decided;
    const double y = asinh_fast(x, decided);
    return decided ? y : asinh_last_resort(x);
  } else {
    const V a = abs_of(x);
    return correct_lanes(
        x, (a >= kAsinhTiny) & (a <= kMax), 1.0,
        [](V v, Mask<V>& decided) { return asinh_fast(v, decided); },
        [](double v) { return asinh_correct(v); });
  }
}

}  // namespace
}  // namespace tarvik::rational
