// sinh(x) and cosh(x) correctly rounded to nearest for every double x, in
// the shape of exp (exp.hpp): a fast path whose error is bounded, Ziv's
// rounding test, and a fixed-point last resort (hyperbolic.cpp) for the rest.
//
// Fast paths, for a = |x| in [2^-26, kHyperbolicOverflow], from the
// double-doubles of exp and expm1 (exp.hpp, expm1.hpp), each in its frame
// scaled by 2^-m:
// - cosh a = (e^a + e^-a)/2, and sinh a = (e^a - e^-a)/2 for a >= 1: e^a =
//   2^m v from exp_reduced (within 2^-68.5 relative), so 2^(1-m) cosh(a) =
//   v + 2^-2m / v (or v - 2^-2m / v): 1/v as a double-double (one Newton
//   correction of RN(1/v_hi) with an exact product, 2^-104), 2^-2m exact (m
//   clamped at 64: beyond, the term is below 2^-128 v). v's error e moves
//   1/v by -e: relative to the result it carries over once for cosh, and
//   coth(a) <= coth(1) = 1.31 times for sinh at a >= 1; so below 2^-68.4
//   and 2^-68.1.
// - sinh a = (E + E/(1 + E))/2 for a < 1, E = e^a - 1 = 2^m v from
//   expm1_reduced (within 2^-68.2 relative, and without the cancellation
//   e^a - e^-a would suffer near 0): 2^(1-m) sinh(a) = v + 2^-m q, q =
//   v/(v + 2^-m) as a double-double (2^-103). The relative error of sinh
//   against that of E is d ln(sinh)/d ln(E) = 1 - E/((1 + E)(2 + E)), in
//   (0, 1]: the error of v carries over at most once, so below 2^-68.1.
// Measured over 10^8 arguments (reference/correct_rounding --only sinh
// --count 100000000 --error, and cosh): 2^-69.3 for each. The rounding test
// takes 2^-66: some 1 argument in 6,000 reaches the last resort.
//
// Below a = 2^-26, a^2/6 < 2^-54.5 is below half an ulp of a relative, so
// sinh(x) rounds to x (and keeps the sign of -0), and cosh(x) = 1 + a^2/2 +
// ... lies below the midpoint 1 + 2^-53: it rounds to 1. Above
// kHyperbolicOverflow (where both e^a/2 pass DBL_MAX + ulp/2) the results
// overflow. Both results are normal on the fast path, so its scalings are
// exact.
#pragma once

#include <bit>
#include <cstdint>

#include "special/exact.hpp"
#include "special/exp.hpp"
#include "special/expm1.hpp"
#include "special/value.hpp"
#include "special/ziv.hpp"

namespace tarvik::rational {

// sinh(x) and cosh(x) for any x, correctly rounded, by the fixed-point
// method alone.
double sinh_last_resort(double x);
double cosh_last_resort(double x);

namespace {

// The largest double whose sinh and cosh are below DBL_MAX + ulp/2.
inline constexpr double kHyperbolicOverflow = 0x1.633ce8fb9f87dp+9;
// |x| below this: sinh(x) rounds to x, cosh(x) to 1.
inline constexpr double kHyperbolicTiny = 0x1p-26;
inline constexpr double kHyperbolicTestError = 0x1p-66;
// From here up sinh takes exp's double-double, as cosh does.
inline constexpr double kSinhByExp = 1.0;

// y with the sign of x, for y >= 0.
template <class V>
[[gnu::always_inline]] inline V with_sign_of(V y, V x) {
  using I = LaneInt<V>;
  const I sign = splat<I, std::int64_t>(std::int64_t{1} << 63);
  return from_bits<V>(bits_of(y) | (bits_of(x) & sign));
}

// min(m, n), each lane.
template <class I>
[[gnu::always_inline]] inline I min_lane(I m, std::int64_t n) {
  if constexpr (std::is_same_v<I, std::int64_t>) {
    return m < n ? m : n;
  } else {
    const I nn = splat<I, std::int64_t>(n);
    return m < nn ? m : nn;
  }
}

// 2^(1 - m) (e^a + sign e^-a), sign = +-1, from e^a = 2^m v, for a in
// [kHyperbolicTiny, kHyperbolicOverflow]: cosh(a), or sinh(a) for a >=
// kSinhByExp, is 2^(m - 1) (hi + lo) within the error bound above.
template <class V>
[[gnu::always_inline]] inline Pair<V> exp_pair_reduced(V a, LaneInt<V>& m, double sign) {
  const Pair<V> v = exp_reduced(a, m);
  // 1/v = r_hi + r_lo.
  const V r_hi = 1.0 / v.hi;
  const Pair<V> p = two_prod(r_hi, v.hi);
  const V r_lo = r_hi * (((1.0 - p.hi) - p.lo) - r_hi * v.lo);
  // v + sign 2^-2m / v (2^-2m / v <= v).
  const V c = sign * power_of_two<V>(-2 * min_lane(m, 64));
  const Pair<V> s = fast_two_sum(v.hi, c * r_hi);
  return fast_two_sum(s.hi, s.lo + (v.lo + c * r_lo));
}

// 2^(1 - m) sinh(a) from e^a - 1 = 2^m v, for a in [kHyperbolicTiny,
// kHyperbolicOverflow], within the error bound above.
template <class V>
[[gnu::always_inline]] inline Pair<V> sinh_by_expm1(V a, LaneInt<V>& m) {
  using I = LaneInt<V>;
  const Pair<V> v = expm1_reduced(a, m);
  // 2^-m in two factors (m up to 1025; 2^-1025 is exact as a subnormal).
  const I half = m >> 1;
  const V p = power_of_two<V>(-half) * power_of_two<V>(half - m);
  // w = v + 2^-m, then q = v / w.
  const Pair<V> w0 = two_sum(v.hi, p);
  const Pair<V> w = {w0.hi, w0.lo + v.lo};
  const V q_hi = v.hi / w.hi;
  const Pair<V> back = two_prod(q_hi, w.hi);
  const V q_lo = (((v.hi - back.hi) - back.lo) + (v.lo - q_hi * w.lo)) / w.hi;
  // v + 2^-m q (2^-m q <= v; products with p exact but where negligible).
  const Pair<V> s = fast_two_sum(v.hi, p * q_hi);
  return fast_two_sum(s.hi, s.lo + (v.lo + p * q_lo));
}

// cosh(a) and sinh(a) = 2^(m - 1) (hi + lo) for a in [kHyperbolicTiny,
// kHyperbolicOverflow].
template <class V>
[[gnu::always_inline]] inline Pair<V> cosh_reduced(V a, LaneInt<V>& m) {
  return exp_pair_reduced(a, m, 1.0);
}

template <class V>
[[gnu::always_inline]] inline Pair<V> sinh_reduced(V a, LaneInt<V>& m) {
  if constexpr (kScalar<V>) {
    return a < kSinhByExp ? sinh_by_expm1(a, m) : exp_pair_reduced(a, m, -1.0);
  } else {
    // Each method computed only where some lane needs it.
    const Mask<V> near = a < kSinhByExp;
    Pair<V> v = {splat<V>(1.0), splat<V>(0.0)};
    m = LaneInt<V>{};
    if (any(mask_not(near))) v = exp_pair_reduced(select(near, kSinhByExp, a), m, -1.0);
    if (any(near)) {
      LaneInt<V> m_near;
      const Pair<V> w = sinh_by_expm1(select(near, a, 1.0), m_near);
      v = {select(near, w.hi, v.hi), select(near, w.lo, v.lo)};
      m = near ? m_near : m;
    }
    return v;
  }
}

// The fast paths for |x| in [kHyperbolicTiny, kHyperbolicOverflow]: the
// correctly rounded result where `decided`, something else elsewhere.
template <class V>
[[gnu::always_inline]] inline V sinh_fast(V x, Mask<V>& decided) {
  LaneInt<V> m;
  const V up = ziv_round(sinh_reduced(abs_of(x), m), kHyperbolicTestError, decided);
  return with_sign_of(times_power_of_two(up, m - 1), x);
}

template <class V>
[[gnu::always_inline]] inline V cosh_fast(V x, Mask<V>& decided) {
  LaneInt<V> m;
  const V up = ziv_round(cosh_reduced(abs_of(x), m), kHyperbolicTestError, decided);
  return times_power_of_two(up, m - 1);
}

// sinh(x) and cosh(x) correctly rounded to nearest, each lane.
template <class V>
[[gnu::always_inline]] inline V sinh_correct(V x) {
  if constexpr (kScalar<V>) {
    const double a = abs_of(x);
    if (!(a >= kHyperbolicTiny && a <= kHyperbolicOverflow)) {
      if (a > kHyperbolicOverflow) return x * __builtin_inf();
      return a < kHyperbolicTiny ? x : x + x;
    }
    bool decided;
    const double y = sinh_fast(x, decided);
    return decided ? y : sinh_last_resort(x);
  } else {
    const V a = abs_of(x);
    return correct_lanes(
        x, (a >= kHyperbolicTiny) & (a <= kHyperbolicOverflow), 1.0,
        [](V v, Mask<V>& decided) { return sinh_fast(v, decided); },
        [](double v) { return sinh_correct(v); });
  }
}

template <class V>
[[gnu::always_inline]] inline V cosh_correct(V x) {
  if constexpr (kScalar<V>) {
    const double a = abs_of(x);
    if (!(a >= kHyperbolicTiny && a <= kHyperbolicOverflow)) {
      if (a > kHyperbolicOverflow) return __builtin_inf();
      return a < kHyperbolicTiny ? 1.0 : x + x;
    }
    bool decided;
    const double y = cosh_fast(x, decided);
    return decided ? y : cosh_last_resort(x);
  } else {
    const V a = abs_of(x);
    return correct_lanes(
        x, (a >= kHyperbolicTiny) & (a <= kHyperbolicOverflow), 1.0,
        [](V v, Mask<V>& decided) { return cosh_fast(v, decided); },
        [](double v) { return cosh_correct(v); });
  }
}

}  // namespace
}  // namespace tarvik::rational
