// log(x) correctly rounded to nearest for every double x, by Ziv's strategy
// as for exp (special/exp.hpp): a fast path with a bounded error, a rounding
// test, and a fixed-point last resort (log.cpp) for the rare rest.
//
// Fast path (after P. T. P. Tang, "Table-driven implementation of the
// logarithm function in IEEE floating-point arithmetic", ACM TOMS 16 (1990)
// 378-400): x = 2^e m with m in [sqrt(2)/2, sqrt(2)], c = j/256 the nearest
// table point to m, u = m - c (exact), f = u/c as a double-double, and
//   log x = e ln2 + ln c + ln(1 + f),  |f| <= 2^-8.5,
//   ln(1 + f) = f - f^2/2 + f^3 Q(f), Q the series to f^7 (truncation below
//   |f|^11/11 < 2^-95 |f|).
// At c = 1 (m within 1/512 of 1) f = u exactly and ln c = 0, so log x near
// x = 1 is as accurate, relatively, as anywhere; for e != 0 the result is at
// least ln2/2 and nothing cancels. The worst case is m just past 1 + 1/512,
// where ln c and ln(1 + f) cancel to half of ln c: there the error of f^3 Q
// in double (some 5 roundings of |f^3/3| < 2^-27 |f|) is 2^-72 of the
// result; f's low part adds 2^-105, the table 2^-107, ln 2 2^-101: in all
// some 2^-69, measured 2^-69.9 over 10^8 arguments (reference/
// correct_rounding --error). The rounding test takes 2^-67, and near 1 the
// sharper bound of log_reduced. Before it, a first stage without divisions
// (log_quick, on log1p's table) decides most arguments at a test of 2^-60.
#pragma once

#include <bit>
#include <cstdint>

#include "special/exact.hpp"
#include "special/exp.hpp"
#include "special/expm1_log1p_tables.hpp"
#include "special/log_tables.hpp"
#include "special/value.hpp"
#include "special/ziv.hpp"

namespace tarvik::rational {

// log(x) for any x, correctly rounded, by the fixed-point method alone.
double log_last_resort(double x);

namespace {

inline constexpr double kLogTestError = 0x1p-67;
inline constexpr double kLogQuickError = 0x1p-60;
inline constexpr double kSqrt2 = 0x1.6a09e667f3bcdp+0;

// log x = hi + lo for a positive normal x, within `error` relative.
template <class V>
[[gnu::always_inline]] inline Pair<V> log_reduced(V x, V& error) {
  using I = LaneInt<V>;
  I bits;
  if constexpr (kScalar<V>) {
    bits = std::bit_cast<std::int64_t>(x);
  } else {
    bits = (I)x;
  }
  // x = 2^e m, m in [1, 2), then m in [sqrt(2)/2, sqrt(2)].
  I e = ((bits >> 52) & 0x7ff) - 1023;
  const I m_bits = (bits & 0x000fffffffffffff) | (I{} + (std::int64_t{1023} << 52));
  V m;
  if constexpr (kScalar<V>) {
    m = std::bit_cast<double>(m_bits);
  } else {
    m = (V)m_bits;
  }
  const Mask<V> high = m > kSqrt2;
  m = select(high, m * 0.5, m);
  if constexpr (kScalar<V>) {
    e += high ? 1 : 0;
  } else {
    e -= high;  // a true lane is -1
  }
  const V ed = as_double<V>(e);
  // c = j/256, the table point nearest m; u = m - c and f = u/c.
  I j;
  const V c = nearest_integer(m * 256.0, j) * 0x1p-8;
  j -= kLogFirst;
  const V u = m - c;  // exact: m and c within a factor 2
  const V f_hi = u / c;
  const Pair<V> back = two_prod(f_hi, c);
  const V f_lo = ((u - back.hi) - back.lo) / c;
  // ln(1 + f) = f - f^2/2 + f^3 Q(f).
  const Pair<V> sq = two_prod(f_hi, f_hi);
  const V q = horner_fused(Poly<8>{kLogSeries[0], kLogSeries[1], kLogSeries[2], kLogSeries[3],
                                   kLogSeries[4], kLogSeries[5], kLogSeries[6], kLogSeries[7]},
                           f_hi);
  const V cube = (sq.hi * f_hi) * q;
  const Pair<V> a = fast_two_sum(f_hi, sq.hi * -0.5);
  const V a_lo = a.lo + (f_lo - (sq.lo * 0.5 + f_hi * f_lo) + cube);
  // e ln2 + ln c + (a + a_lo).
  const V t_hi = gather<V>(kLogTable, j, 0), t_lo = gather<V>(kLogTable, j, 1);
  const Pair<V> s1 = two_sum(ed * kLn2Hi, t_hi);
  const Pair<V> s2 = two_sum(s1.hi, a.hi);
  // At c = 1 and e = 0 only f^3 Q's rounding and a.lo's remain: below
  // 2^-50 f^2 + 2^-105 relative, taken as 2^-48 f^2 + 2^-103 (x = 1 + k 2^-52
  // for small k lies within 2^-100 of a midpoint and needs this bound).
  const Mask<V> at_one = (e == 0) & (j == 256 - kLogFirst);
  error = select(at_one, f_hi * f_hi * 0x1p-48 + 0x1p-103, kLogTestError);
  return fast_two_sum(s2.hi, s1.lo + s2.lo + ((ed * kLn2Lo + t_lo) + a_lo));
}

// The first stage, for positive normal x: log x = hi + lo by log1p's
// reduction (log1p.hpp) without a division: x = 2^e m, m in [sqrt(1/2),
// sqrt(2)), c = RN(256/k) for k = round(256 m), t = c m - 1 as an exact pair
// (|t| <= 2^-8.5), and
//   log x = e ln2 + (-log c) + t - t^2/2 + t^3 Q(t),
// the first three summed exactly, the rest (below 2^-18) in double. Its
// roundings stay below 2^-70 absolute; the result is t itself (c = 1, e = 0:
// the tail's 2^-54 t^2 is 2^-62.5 of it) or at least 2^-10 (half of
// |log c| where t cancels it), so within 2^-61 relative; the test takes
// 2^-60.
template <class V>
[[gnu::always_inline]] inline Pair<V> log_quick(V x) {
  using I = LaneInt<V>;
  constexpr std::int64_t kSqrtHalf = 0x3fe6a09e667f3bcd;  // the bits of sqrt(1/2)
  const I bits = bits_of(x);
  const I e = (bits - kSqrtHalf) >> 52;
  const V m = from_bits<V>(bits - (e << 52));
  const V ed = as_double<V>(e);
  I k;
  nearest_integer(m * 256.0, k);
  const I row = k - kLog1pFirst;
  const V c = gather<V>(kLog1pTable, row, 0);
  const V l_hi = gather<V>(kLog1pTable, row, 1), l_lo = gather<V>(kLog1pTable, row, 2);
  const Pair<V> p = two_prod(c, m);
  // The sums in their ordered form (exact where the first term is 0 or the
  // larger): p_hi - 1 (exact, Sterbenz) is 0 or at least an ulp of 1, above
  // |p_lo|; |e ln2_hi| >= ln2 > |l_hi| unless e = 0; |l_hi| >= ln(256/255)
  // = 2^-8.0 > |t_hi| unless c = 1 and l_hi = 0.
  const Pair<V> t = fast_two_sum(p.hi - 1.0, p.lo);
  // -1/2 + t (1/3 + t R), R = -1/4 + t/5 - ... + t^5/9: the last two steps
  // Horner's, so that the terms near 1/2 and 1/3 take one rounding each (R's
  // own, whatever their order, are 2^-8.5 smaller).
  constexpr std::size_t kR = kLog1pTaylor.size() - 1;
  const V r = polynomial_fused<kR>(t.hi, [](std::size_t i) { return kLog1pTaylor[kR - 1 - i]; });
  const V tail = mul_add(t.hi, mul_add(t.hi, r, splat<V>(kLog1pTaylor[kR])), splat<V>(-0.5));
  const V w = t.lo + (t.hi * t.hi) * tail;
  const Pair<V> s = fast_two_sum(ed * kLn2Hi, l_hi);  // e ln2_hi exact
  const Pair<V> s2 = fast_two_sum(s.hi, t.hi);
  return {s2.hi, s2.lo + (s.lo + ((ed * kLn2Lo + l_lo) + w))};
}

// The fast path for positive normal x: the correctly rounded log x where
// `decided`. The first stage decides most arguments; the second runs where
// it did not.
template <class V>
[[gnu::always_inline]] inline V log_fast(V x, Mask<V>& decided) {
  V up = ziv_round(log_quick(x), kLogQuickError, decided);
  // Lanes leave their few undecided ones to the scalar function
  // (correct_lanes), which runs the second stage on that lane alone.
  if constexpr (kScalar<V>) {
    if (!all(decided)) {
      V error = splat<V>(kLogTestError);
      const Pair<V> v = log_reduced(x, error);
      Mask<V> second;
      const V up2 = ziv_round(v, error, second);
      up = select(decided, up, up2);
      decided = decided | second;
    }
  }
  return up;
}

// log(x) correctly rounded to nearest, each lane.
template <class V>
[[gnu::always_inline]] inline V log_correct(V x) {
  constexpr double kMinNormal = 0x1p-1022;
  if constexpr (kScalar<V>) {
    if (!(x >= kMinNormal && x < __builtin_inf())) {
      if (x == 0.0) return -__builtin_inf();
      if (!(x > 0.0)) return x != x ? x + x : __builtin_nan("");
      if (x == __builtin_inf()) return x;
      // A subnormal: 2^52 x is normal, its log less 52 ln2 is log x.
      return log_last_resort(x);
    }
    bool decided;
    const double y = log_fast(x, decided);
    return decided ? y : log_last_resort(x);
  } else {
    return correct_lanes(
        x, (x >= kMinNormal) & (x < __builtin_inf()), 1.0,
        [](V v, Mask<V>& decided) __attribute__((always_inline)) {
          return log_fast(v, decided);
        },
        [](double v) { return log_correct(v); });
  }
}

}  // namespace
}  // namespace tarvik::rational
