// exp(x) correctly rounded to nearest for every double x, by Ziv's strategy
// (A. Ziv, "Fast evaluation of elementary mathematical functions with
// correctly rounded last bit", ACM TOMS 17 (1991) 410-423): a fast path whose
// error is bounded, a test whether that bound decides the rounding, and an
// exact-enough last resort for the rare rest, as in the CORE-MATH project
// (A. Sibidanov, P. Zimmermann, S. Glondu, "The CORE-MATH project", ARITH
// 2022). A correctly rounded result has one value whatever computes it, so
// the scalar path and the vector lanes agree bit for bit by construction.
//
// Fast path (P. T. P. Tang, "Table-driven implementation of the exponential
// function in IEEE floating-point arithmetic", ACM TOMS 15 (1989) 144-157):
// x = (128 m + j) ln2/128 + r, |r| <= ln2/256 (plus rounding), so that
// exp(x) = 2^m 2^(j/128) exp(r), with 2^(j/128) a double-double from the
// table, r a double-double (ln2/128 in three parts, the first two of 32 bits
// so that k L1, k L2 and x - k L1 are exact), and exp(r) - 1 = r + r^2 P(r) with
// Taylor's P to degree 4 (truncation below r^7/5040 < 2^-71.8). Error
// bound, relative, of the double-double h + l before the scaling by 2^m:
// P(r) r^2 in double, |r^2 P| < 2^-18, some 4 roundings of 2^-53: 2^-69;
// the cross term r_hi r_lo kept; the table's 2^-107; the reduction's
// 2^-95; in all below 2^-68.5, measured 2^-69.3 over 10^8 arguments
// (reference/correct_rounding --error). The rounding test takes 2^-66.
// Before it, a first stage of the same reduction and polynomial sums the
// pair's low part in plain double (exp_quick: within 2^-59.8, measured
// 2^-60.0; its test takes 2^-59) and decides all but some 3% of arguments,
// at some two thirds of the second's cost (Ziv's multi-step strategy).
//
// The last resort (exp.cpp) computes exp in 256-bit fixed point and rounds
// once, to the subnormal grid where the result is below 2^-1022. It takes
// the arguments the test cannot decide (some 1 in 5,000 of random
// arguments), and below -745 where the result rounds to 0 or 2^-1074. From
// there to -707.5, where the result is subnormal or near it, exp_subnormal
// rounds the second stage's pair once to the grid of 2^-1074 with a test of
// its own (all but x in [-708.4, -707.5], whose results are normal).
#pragma once

#include <bit>
#include <cstdint>

#include "special/exact.hpp"
#include "special/exp_tables.hpp"
#include "special/value.hpp"
#include "special/ziv.hpp"

namespace tarvik::rational {

// exp(x) for any x, correctly rounded, by the fixed-point method alone.
double exp_last_resort(double x);

namespace {

// Largest x whose exp is below DBL_MAX; beyond, +inf.
inline constexpr double kExpOverflow = 0x1.62e42fefa39efp+9;
// From here down the result may leave the normal range: exp_subnormal, and
// below kExpSubnormalLow (exp(x) within a factor 1.2 of 2^-1075, where it
// rounds to 0 or 2^-1074) the last resort.
inline constexpr double kExpFastLow = -707.5;
inline constexpr double kExpSubnormalLow = -745.0;
// Below this exp(x) < 2^-1075, half the least subnormal: it rounds to 0.
inline constexpr double kExpZero = -745.2;
// |x| below this: exp(x) rounds to 1.
inline constexpr double kExpTiny = 0x1p-54;
inline constexpr double kExpTestError = 0x1p-66;
inline constexpr double kExpQuickError = 0x1p-59;

// x = (128 m + j) ln2/128 + r, |r| <= ln2/256 but for rounding: m, j, and r
// as a double-double (ln2/128 in three parts, k L1 and k L2 exact).
template <class V>
struct ExpReduction {
  LaneInt<V> m, j;
  Pair<V> r;
};

template <class V>
[[gnu::always_inline]] inline ExpReduction<V> reduce_exp(V x) {
  LaneInt<V> k;
  const V kd = nearest_integer(x * k128ByLn2, k);
  const V r1 = x - kd * kLn2By128Hi;  // exact, as is kd * kLn2By128Mid
  const Pair<V> r = two_sum(r1, -(kd * kLn2By128Mid));
  return {k >> 7, k & 127, {r.hi, r.lo - kd * kLn2By128Lo}};
}

// exp(r) - 1 for the reduced r, in double but for r_hi's leading term:
// r_hi + (r_lo + r_hi^2 P(r_hi)), P Taylor's 1/2 + r/6 + ... + r^4/720.
template <class V>
[[gnu::always_inline]] inline V exp_taylor_tail(const Pair<V>& r) {
  const V r2 = r.hi * r.hi;
  V q = mul_add(r.hi, splat<V>(kExpTaylor[4]), splat<V>(kExpTaylor[3]));
  q = mul_add(r.hi, q, splat<V>(kExpTaylor[2]));
  q = mul_add(r.hi, q, splat<V>(kExpTaylor[1]));
  const V p = r2 * mul_add(r.hi, q, splat<V>(kExpTaylor[0]));
  return r.lo + (p + r.lo * r.hi);
}

// The first stage: exp(x) = 2^m (T_hi + lo), lo = T_lo + T_hi (r_hi + u)
// with u = exp_taylor_tail(r), in plain double arithmetic: the sum r_hi + u
// (|r_hi + u| < 2^-8.4), the product by T_hi and the sum with T_lo each
// round within 2^-61.4 of T_hi, and so does the rounding test's own sum
// lo +- bound: within kExpQuickError in all.
template <class V>
[[gnu::always_inline]] inline Pair<V> exp_quick(const ExpReduction<V>& red) {
  const V u = exp_taylor_tail(red.r);
  const V t_hi = gather<V>(kExp2Table, red.j, 0), t_lo = gather<V>(kExp2Table, red.j, 1);
  return {t_hi, t_lo + t_hi * (red.r.hi + u)};
}

// The second stage: exp(x) = 2^m (hi + lo) within the error bound above.
template <class V>
[[gnu::always_inline]] inline Pair<V> exp_accurate(const ExpReduction<V>& red) {
  const Pair<V> r = red.r;
  const Pair<V> e = fast_two_sum(r.hi, exp_taylor_tail(r));
  // 2^(j/128) (1 + e).
  const V t_hi = gather<V>(kExp2Table, red.j, 0), t_lo = gather<V>(kExp2Table, red.j, 1);
  const Pair<V> a = two_prod(t_hi, e.hi);
  const V rest = a.lo + (t_hi * e.lo + (t_lo + t_lo * e.hi));
  const Pair<V> s = fast_two_sum(t_hi, a.hi);
  return fast_two_sum(s.hi, s.lo + rest);
}

// exp(x) = 2^m (hi + lo) for x in [kExpFastLow, kExpOverflow], hi + lo
// within the error bound above.
template <class V>
[[gnu::always_inline]] inline Pair<V> exp_reduced(V x, LaneInt<V>& m) {
  const ExpReduction<V> red = reduce_exp(x);
  m = red.m;
  return exp_accurate(red);
}

// The fast path for x in [kExpFastLow, kExpOverflow]: the correctly rounded
// exp(x) where `decided`, something else elsewhere. The first stage decides
// all but some 3% of arguments; the second runs where it did not.
template <class V>
[[gnu::always_inline]] inline V exp_fast(V x, Mask<V>& decided) {
  const ExpReduction<V> red = reduce_exp(x);
  V up = ziv_round(exp_quick(red), kExpQuickError, decided);
  // Lanes leave their few undecided ones to the scalar function
  // (correct_lanes), which runs the second stage on that lane alone.
  if constexpr (kScalar<V>) {
    if (!all(decided)) {
      Mask<V> second;
      const V up2 = ziv_round(exp_accurate(red), kExpTestError, second);
      up = select(decided, up, up2);
      decided = decided | second;
    }
  }
  return times_power_of_two(up, red.m);
}

// exp(x) for x in [kExpSubnormalLow, kExpFastLow), where the result lies
// below 2^-1022 or near it, rounded once to the grid of 2^-1074 where
// `decided`: U = exp(x) 2^1074 = 2^(m+1074) (hi + lo) from the second stage
// (its scalings exact), n = the integer nearest u_hi (the shift by 2^52
// rounds it: u_hi < 2^52 here, else undecided) and d = (u_hi - n) + u_lo
// (u_hi - n exact, the sum within 2^-54); the result is n 2^-1074, or
// (n +- 1) 2^-1074 where |d| > 1/2, decided where |d| is further from 1/2
// than U's error (the test's 2^-66 of it) and d's rounding.
inline double exp_subnormal(double x, bool& decided) {
  const ExpReduction<double> red = reduce_exp(x);
  const Pair<double> v = exp_accurate(red);
  const double scale = power_of_two<double>(red.m + 1074);  // m + 1074 >= -1
  const double u_hi = v.hi * scale, u_lo = v.lo * scale;
  const double y = round_to_least_grid(u_hi, u_lo, kExpTestError, decided);
  decided = decided && u_hi < 0x1p52;
  return y;
}

// exp(x) correctly rounded to nearest, each lane.
template <class V>
[[gnu::always_inline]] inline V exp_correct(V x) {
  if constexpr (kScalar<V>) {
    if (!(x >= kExpFastLow && x <= kExpOverflow)) {
      if (x > kExpOverflow) return __builtin_inf();
      if (x >= kExpSubnormalLow) {
        bool decided;
        const double y = exp_subnormal(x, decided);
        if (decided) return y;
      }
      return x != x ? x + x : exp_last_resort(x);
    }
    if (abs_of(x) < kExpTiny) return 1.0;
    bool decided;
    const double y = exp_fast(x, decided);
    return decided ? y : exp_last_resort(x);
  } else {
    // Lanes below kExpZero give 0 in place (a density's far tail is full of
    // them), 0 standing in for them in the fast path.
    return correct_lanes(
        x, (x <= kExpOverflow) & ((x >= kExpFastLow) | (x < kExpZero)), 0.0,
        [](V v, Mask<V>& decided) __attribute__((always_inline)) {
          const Mask<V> zero = v < kExpZero;
          const V y = exp_fast(select(zero, 0.0, v), decided);
          decided = decided | zero;
          return select(zero, 0.0, y);
        },
        [](double v) { return exp_correct(v); });
  }
}

}  // namespace
}  // namespace tarvik::rational
