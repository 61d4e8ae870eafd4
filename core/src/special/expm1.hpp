// expm1(x) = exp(x) - 1 correctly rounded to nearest for every double x, in
// the shape of exp (exp.hpp): a fast path whose error is bounded, Ziv's
// rounding test, and a fixed-point last resort (expm1.cpp) for the rest.
//
// Fast path, after P. T. P. Tang, "Table-driven implementation of the expm1
// function in IEEE floating-point arithmetic", ACM TOMS 18 (1992) 211-222:
// exp's reduction x = (128 m + j) ln2/128 + r, |r| <= ln2/256 (plus
// rounding), r = r_hi + r_lo, and
//   expm1(x) = 2^m (T (1 + e) - 2^-m),  T = 2^(j/128),  e = expm1(r),
// evaluated in that frame (scaled by 2^-m) so that the subtraction of 1 is
// an exact two-sum: T_hi - 2^-m is exact outright for m in {-1, 0} (Sterbenz)
// and an exact pair otherwise. Then
//   y = (T_hi - 2^-m) + T_hi e_hi [exact product] + T_hi e_lo + T_lo (1 + e_hi).
// The two big terms share their sign or the sum keeps about half the larger
// one (where k = 128 m + j != 0, |T - 2^-m| >= 2^(1/128) - 1, about twice
// the largest |T e|), so the errors below, relative to the term they sit on,
// are at most doubled relative to y.
//
// e = expm1(r) relative to e (exp's polynomial would do only to some 2^-61
// here, where e is the result): r_hi + r_hi^2/2 with r_hi^2 as an exact
// product, + r_lo + r_hi r_lo + r_hi^3 P(r_hi), P Taylor's to r^4/7!
// (truncation and coefficients 2^-73.2, expm1_log1p_tables.hpp); the
// rounding of r_hi^3 P, |r^3 P| <= 2^-19.6 |r|, about 4 roundings of 2^-53:
// 2^-69.6 |e|; the tail's 3 additions 2^-75 |e|; r_lo's omitted powers and
// the reduction below 2^-90. So e within 2^-69.2 |e|, y within 2^-68.2 |y|
// (plus T_lo's 2^-107 and the final additions' 2^-104, relative to |T| and
// |y| >= |T|/256 when j != 0: 2^-96), measured 2^-70.4 over 20 million
// arguments (reference/correct_rounding --error). The rounding test takes
// 2^-66.
//
// Below x = -38 exp(x) < 2^-54, half the spacing of the doubles just above
// -1, so expm1(x) rounds to -1; above exp's overflow threshold the result
// overflows too (exp(x) - 1 and exp(x) cross DBL_MAX + ulp/2 between the
// same two doubles); for |x| < 2^-54, x^2/2 < 2^-55 |x| is below half an ulp
// of x, the result rounds to x (and keeps the sign of -0).
#pragma once

#include <bit>
#include <cstdint>

#include "special/exact.hpp"
#include "special/exp.hpp"
#include "special/expm1_log1p_tables.hpp"
#include "special/value.hpp"
#include "special/ziv.hpp"

namespace tarvik::rational {

// expm1(x) for any x, correctly rounded, by the fixed-point method alone.
double expm1_last_resort(double x);

namespace {

// Below this expm1(x) rounds to -1.
inline constexpr double kExpm1MinusOne = -38.0;
// |x| below this: expm1(x) rounds to x.
inline constexpr double kExpm1Tiny = 0x1p-54;
inline constexpr double kExpm1TestError = 0x1p-66;

// expm1(x) = 2^m (hi + lo) for x in [kExpm1MinusOne, kExpOverflow] with
// |x| >= kExpm1Tiny, hi + lo within the error bound above.
template <class V>
[[gnu::always_inline]] inline Pair<V> expm1_reduced(V x, LaneInt<V>& m) {
  using I = LaneInt<V>;
  const ExpReduction<V> red = reduce_exp(x);
  m = red.m;
  const I j = red.j;
  const Pair<V> r = red.r;
  const V r_lo = r.lo;
  // e = expm1(r), relative to e.
  const Pair<V> sq = two_prod(r.hi, r.hi);
  const V poly = (sq.hi * r.hi) * horner_fused(kExpm1Taylor, r.hi);
  const Pair<V> lead = fast_two_sum(r.hi, 0.5 * sq.hi);
  const V tail = lead.lo + (r_lo + (0.5 * sq.lo + (r.hi * r_lo + poly)));
  const Pair<V> e = fast_two_sum(lead.hi, tail);
  // T (1 + e) - 2^-m, 2^-m in two factors (2^-1024 is exact as a subnormal).
  const V t_hi = gather<V>(kExp2Table, j, 0), t_lo = gather<V>(kExp2Table, j, 1);
  const I half = m >> 1;
  const V one = power_of_two<V>(-half) * power_of_two<V>(half - m);
  const Pair<V> a = two_sum(t_hi, -one);
  const Pair<V> b = two_prod(t_hi, e.hi);
  const V c = t_hi * e.lo + (t_lo + t_lo * e.hi);
  const Pair<V> s = two_sum(a.hi, b.hi);
  return fast_two_sum(s.hi, s.lo + (a.lo + (b.lo + c)));
}

// The fast path for x in [kExpm1MinusOne, kExpOverflow], |x| >= kExpm1Tiny:
// the correctly rounded expm1(x) where `decided`, something else elsewhere.
template <class V>
[[gnu::always_inline]] inline V expm1_fast(V x, Mask<V>& decided) {
  using I = LaneInt<V>;
  I m;
  const V up = ziv_round(expm1_reduced(x, m), kExpm1TestError, decided);
  // The result is normal (|expm1(x)| > 2^-55), the scaling exact.
  return times_power_of_two(up, m);
}

// expm1(x) correctly rounded to nearest, each lane.
template <class V>
[[gnu::always_inline]] inline V expm1_correct(V x) {
  if constexpr (kScalar<V>) {
    if (!(x >= kExpm1MinusOne && x <= kExpOverflow)) {
      if (x > kExpOverflow) return __builtin_inf();
      return x != x ? x + x : -1.0;
    }
    if (abs_of(x) < kExpm1Tiny) return x;
    bool decided;
    const double y = expm1_fast(x, decided);
    return decided ? y : expm1_last_resort(x);
  } else {
    return correct_lanes(
        x, (x >= kExpm1MinusOne) & (x <= kExpOverflow) & (abs_of(x) >= kExpm1Tiny), 1.0,
        [](V v, Mask<V>& decided) { return expm1_fast(v, decided); },
        [](double v) { return expm1_correct(v); });
  }
}

}  // namespace
}  // namespace tarvik::rational
