// erfc(x) correctly rounded to nearest for every double x, in the shape of
// exp (exp.hpp): a fast path whose error is bounded, Ziv's rounding test,
// and a fixed-point last resort (erfc.cpp) for the rest.
//
// Fast path, for -6 <= x <= 26.5 and |x| >= 2^-56: erfc(|x|) from one row
// of a table of polynomials of degree 10 in t = |x| - mid (erfc_tables.hpp),
// - below 1/4: erfc on intervals of 1/32, mid 0 on the first (2^-71.0 as
//   fitted);
// - from 1/4 to 1.5: erfc on 32 intervals a binade (2^-69.7), no exponential
//   where most of a pricer's arguments lie;
// - from 1.5 to 27.3: erfcx(x) = exp(x^2) erfc(x) on the same intervals a
//   binade (2^-71.9), times exp(-x^2) = exp(-s_hi)(1 - s_lo) with x^2 =
//   s_hi + s_lo exactly (s_lo^2 < 2^-88) and exp's double-double (2^-68.5,
//   exp.hpp);
// and for x < 0, erfc(x) = 2 - erfc(-x): erfc(-x) <= 1, the subtraction
// keeps its error (relative to a result >= 1).
// Each polynomial keeps its first three coefficients as double-doubles and
// carries c_k + t (...) exactly for them; the tail in double,
// |c_3 t^3 + ...| <= 2^-16 |c_0|, adds some 2^-68 (the tables' figures
// include the rounding of c_3 and beyond to doubles). In all the relative
// error of the pair before the rounding test is below 2^-67.5, measured
// 2^-68.7 over 10^5 arguments (reference/correct_rounding --error) and
// 2^-68.5 over 3 10^7 against binary128's erfcq. The rounding test takes
// 2^-67 and leaves some one argument in 10^4 to the last resort. Before it,
// a first stage (erfc_stage<true>: c_0 + t c_1 exact and the rest in
// double, within 2^-59.5, times exp's first stage beyond 1.5, within
// 2^-59.3; measured 2^-59.6 over 3 10^7 arguments; its test at 2^-59)
// decides all but some 2.4% of arguments.
//
// Below x = -6 erfc(x) rounds to 2 (erfc(6) < 2^-55, half the spacing of
// the doubles below 2 is 2^-53); for |x| < 2^-56, 2|x|/sqrt(pi) < 2^-55.8
// and erfc(x) rounds to 1. From 26.5 to 27.3 the result nears or enters the
// subnormals: erfc_subnormal rounds the second stage's pair once to the grid
// of 2^-1074 (as exp_subnormal does); above 27.3, erfc(x) < 2^-1077 rounds
// to 0.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "special/erfc_tables.hpp"
#include "special/exact.hpp"
#include "special/exp.hpp"
#include "special/value.hpp"
#include "special/ziv.hpp"

namespace tarvik::rational {

// erfc(x) for any x, correctly rounded, by the fixed-point method alone.
double erfc_last_resort(double x);

namespace {

// Rows by 1/32 below kErfcNear, by binade intervals from it; erfcx's rows
// (times exp(-x^2)) from kErfcScaled.
inline constexpr double kErfcNear = 0.25;
inline constexpr double kErfcScaled = 1.5;
inline constexpr double kErfcTwo = -6.0;
inline constexpr double kErfcFastTop = 26.5;
// Above this erfc(x) < 2^-1077: it rounds to 0.
inline constexpr double kErfcZero = 27.3;
inline constexpr double kErfcTiny = 0x1p-56;
inline constexpr double kErfcTestError = 0x1p-67;
inline constexpr double kErfcQuickError = 0x1p-59;
// The bits of 1/4, where kErfcRows' intervals a binade start.
inline constexpr std::int64_t kErfcQuarter = 0x3fd0000000000000;

// sum c_k t^k from a table row c(column): c_0..c_(H-1) as hi, lo in
// columns 0..2H-1, H = kErfcHead, then c_H..c_Degree. The tail in double,
// then c_k + t acc for k = H-1..0 with t acc_hi an exact product.
template <int Degree, class V, class Coeff>
[[gnu::always_inline]] inline Pair<V> head_horner(V t, Coeff c) {
  constexpr int kH = kErfcHead;
  V q = lift<V>(c(Degree + kH));
  for (int k = Degree - 1; k >= kH; --k) q = mul_add(t, q, lift<V>(c(k + kH)));
  Pair<V> acc = {q, splat<V>(0.0)};
  for (int k = kH - 1; k >= 0; --k) {
    const Pair<V> p = two_prod(t, acc.hi);
    const Pair<V> s = two_sum(lift<V>(c(2 * k)), p.hi);
    acc = fast_two_sum(s.hi, s.lo + (p.lo + (lift<V>(c(2 * k + 1)) + t * acc.lo)));
  }
  return acc;
}

// The row of x in [kErfcTiny, kErfcZero] and t = x - mid (exact: x and
// mid share a binade, or lie within a factor 2 below 1/4, or mid is 0).
template <class V>
struct ErfcInterval {
  LaneInt<V> row;
  V t;
};
template <class V>
[[gnu::always_inline]] inline ErfcInterval<V> interval_of(V x) {
  using I = LaneInt<V>;
  // Below 1/4: intervals of 1/32, k = round(32 x - 1/2) (exact; x on a
  // boundary may go to either neighbour, whose polynomial covers it too),
  // mid (k + 1/2)/32, or 0 for k = 0.
  const auto near = [](V y) {
    I k;
    const V kd = nearest_integer(y * 32.0 - 0.5, k);
    return ErfcInterval<V>{k, y - select(kd == 0.0, 0.0, (kd + 0.5) * 0x1p-5)};
  };
  // From 1/4: 32 intervals a binade, mid the interval's centre.
  const auto binade = [](V y) {
    const I bits = bits_of(y);
    constexpr int kMid = kErfcxShift - 1;
    const V mid = from_bits<V>(((bits >> kMid) | 1) << kMid);
    return ErfcInterval<V>{(bits >> kErfcxShift) - (kErfcQuarter >> kErfcxShift) + kErfcNearRows,
                           y - mid};
  };
  const Mask<V> below = x < kErfcNear;
  if constexpr (kScalar<V>) {
    return below ? near(x) : binade(x);
  } else {
    const ErfcInterval<V> a = near(x), b = binade(x);
    return {select(below, a.row, b.row), select(below, a.t, b.t)};
  }
}

// The first stage's polynomial of a row c(j) at t: c_0 + t c_1 with t c_1_hi
// an exact product, the rest in double, as hi + lo (|lo| below 2^-4 |hi|).
template <class V, class Coeff>
[[gnu::always_inline]] inline Pair<V> head_quick(V t, Coeff c) {
  constexpr int kH = kErfcHead, kDegree = 10;
  // c_3 + c_4 t + ... + c_10 t^7.
  V q = polynomial_fused<kDegree - kH + 1>(
      t, [&](std::size_t k) { return c(2 * kH + static_cast<int>(k)); });
  q = mul_add(t, q, c(4));
  const Pair<V> p1 = two_prod(t, c(2));
  const Pair<V> p = fast_two_sum(c(0), p1.hi);
  return {p.hi, p.lo + (c(1) + (p1.lo + t * (c(3) + t * q)))};
}

// exp(-x^2) p = 2^m (hi + lo): x^2 = s_hi + s_lo exactly, exp(-x^2) =
// exp(-s_hi)(1 - s_lo), by exp's first stage (kQuick) or its second. In the
// first, erfcx's pair (its tail |t^2 R| <= 2^-12 |c_0| in double) times
// exp_quick's (2^-59.8) with s_lo's factor (2^-61.5), normalised; the
// product's low terms (2^-19 of it) add some 2^-71: within 2^-59.3.
template <bool kQuick, class V>
[[gnu::always_inline]] inline Pair<V> times_gaussian(V x, Pair<V> p, LaneInt<V>& m) {
  const Pair<V> s = two_prod(x, x);
  const ExpReduction<V> red = reduce_exp(-s.hi);
  m = red.m;
  if constexpr (kQuick) {
    const Pair<V> e0 = exp_quick(red);
    // e (1 - s_lo), e's low part some 2^-8 of it, then normalised: exact.
    const Pair<V> e = fast_two_sum(e0.hi, e0.lo - (e0.hi + e0.lo) * s.lo);
    const Pair<V> r = two_prod(e.hi, p.hi);
    return {r.hi, r.lo + (e.hi * p.lo + e.lo * (p.hi + p.lo))};
  } else {
    Pair<V> e = exp_accurate(red);
    e.lo = e.lo - e.hi * s.lo;
    const Pair<V> q = two_prod(e.hi, p.hi);
    return fast_two_sum(q.hi, q.lo + (e.hi * p.lo + e.lo * p.hi));
  }
}

// erfc(x) = 2^m (hi + lo) for x in [kErfcTiny, kErfcZero]: the row's
// polynomial, times exp(-x^2) from kErfcScaled on (erfcx's rows).
template <bool kQuick, class V>
[[gnu::always_inline]] inline Pair<V> erfc_positive(V x, LaneInt<V>& m) {
  const ErfcInterval<V> at = interval_of(x);
  constexpr std::size_t kColumns = sizeof(kErfcRows[0]) / sizeof(double);
  const std::array<V, kColumns> row = gather_columns<V, kColumns>(kErfcRows, at.row);
  const auto c = [&](int j) { return row[j]; };
  Pair<V> p;
  if constexpr (kQuick) {
    p = head_quick(at.t, c);
  } else {
    p = head_horner<10>(at.t, c);
  }
  m = LaneInt<V>{};
  const Mask<V> scaled = x >= kErfcScaled;
  if (any(scaled)) {
    // Other lanes stand in as kErfcScaled and keep p.
    LaneInt<V> ms;
    const Pair<V> r = times_gaussian<kQuick>(select(scaled, x, kErfcScaled), p, ms);
    p = {select(scaled, r.hi, p.hi), select(scaled, r.lo, p.lo)};
    m = select(scaled, ms, m);
  }
  return p;
}

// 2 - 2^m (v_hi + v_lo), for 2^m v = erfc(y) with y in [0, -kErfcTwo]
// (2^m v_lo normal, so the scalings are exact).
template <class V, class I>
[[gnu::always_inline]] inline Pair<V> two_minus(Pair<V> v, I m) {
  const V h = times_power_of_two(v.hi, m), l = times_power_of_two(v.lo, m);
  const Pair<V> s = fast_two_sum(splat<V>(2.0), -h);
  return {s.hi, s.lo - l};
}

// erfc(x) = 2^m (hi + lo) for x in [kErfcTwo, kErfcZero] with
// |x| >= kErfcTiny, hi + lo within the first stage's error bound (kQuick)
// or the second's.
template <bool kQuick, class V>
[[gnu::always_inline]] inline Pair<V> erfc_stage(V x, LaneInt<V>& m) {
  const Pair<V> v = erfc_positive<kQuick>(abs_of(x), m);
  const Mask<V> negative = x < 0.0;
  if (!any(negative)) return v;
  const Pair<V> w = two_minus(v, m);
  m = select(negative, LaneInt<V>{}, m);
  return {select(negative, w.hi, v.hi), select(negative, w.lo, v.lo)};
}

template <class V>
[[gnu::always_inline]] inline Pair<V> erfc_reduced(V x, LaneInt<V>& m) {
  return erfc_stage<false>(x, m);
}

// The fast path for x in [kErfcTwo, kErfcFastTop], |x| >= kErfcTiny: the
// correctly rounded erfc(x) where `decided`, something else elsewhere. The
// first stage decides most arguments; the second runs where it did not.
template <class V>
[[gnu::always_inline]] inline V erfc_fast(V x, Mask<V>& decided) {
  LaneInt<V> m;
  V up = ziv_round(erfc_stage<true>(x, m), kErfcQuickError, decided);
  // The second stage over all lanes where any is undecided (at the first
  // stage's rate some one vector of four lanes in ten: cheaper than sending
  // those lanes one by one to the scalar function); the last resort takes
  // the few it leaves (correct_lanes).
  if (!all(decided)) {
    LaneInt<V> m2;
    Mask<V> second;
    const V up2 = ziv_round(erfc_stage<false>(x, m2), kErfcTestError, second);
    up = select(decided, up, up2);
    m = select(decided, m, m2);
    decided = decided | second;
  }
  // Normal results (erfc(26.5) > 2^-1019): the scaling is exact.
  return times_power_of_two(up, m);
}

// erfc(x) for x in (kErfcFastTop, kErfcZero], below 2^-1019: the second
// stage's 2^m (hi + lo) (within 2^-67.5 as above; 2^m is normal, m >= -1071)
// rounded once to the grid of 2^-1074 below 2^-1021 (round_to_least_grid,
// its test at 2^-67). Above, the result is normal: the usual test, then an
// exact scaling.
inline double erfc_subnormal(double x, bool& decided) {
  std::int64_t m;
  const Pair<double> v = erfc_stage<false>(x, m);
  if (v.hi * power_of_two<double>(m + 1021) >= 1.0) {
    return times_power_of_two(ziv_round(v, kErfcTestError, decided), m);
  }
  const double scale = power_of_two<double>(m + 1074);
  return round_to_least_grid(v.hi * scale, v.lo * scale, kErfcTestError, decided);
}

// erfc(x) correctly rounded to nearest, each lane.
template <class V>
[[gnu::always_inline]] inline V erfc_correct(V x) {
  if constexpr (kScalar<V>) {
    if (!(x >= kErfcTwo && x <= kErfcFastTop)) {
      if (x < kErfcTwo) return 2.0;
      if (x > kErfcFastTop && x <= kErfcZero) {
        bool decided;
        const double y = erfc_subnormal(x, decided);
        if (decided) return y;
      }
      return x != x ? x + x : erfc_last_resort(x);
    }
    if (abs_of(x) < kErfcTiny) return 1.0;
    bool decided;
    const double y = erfc_fast(x, decided);
    return decided ? y : erfc_last_resort(x);
  } else {
    return correct_lanes(
        x, (x >= kErfcTwo) & (x <= kErfcFastTop) & (abs_of(x) >= kErfcTiny), 1.0,
        // Inlined: a call would spill the caller's vectors around it.
        [](V v, Mask<V>& decided) __attribute__((always_inline)) {
          return erfc_fast(v, decided);
        },
        [](double v) { return erfc_correct(v); });
  }
}

}  // namespace
}  // namespace tarvik::rational
