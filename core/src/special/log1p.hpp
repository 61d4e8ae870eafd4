// log1p(x) = log(1 + x) correctly rounded to nearest for every double x, in
// the shape of exp (exp.hpp): a fast path whose error is bounded, Ziv's
// rounding test, and a fixed-point last resort (log1p.cpp) for the rest.
//
// Fast path, table-driven after P. T. P. Tang, "Table-driven implementation
// of the logarithm function in IEEE floating-point arithmetic", ACM TOMS 16
// (1990) 378-400, and "... of the expm1 function ...", ACM TOMS 18 (1992)
// (log1p there): u = 1 + x = u_hi + u_lo exactly (two-sum), u_hi = 2^E m
// with m in [sqrt(1/2), sqrt(2)) (an integer subtraction on the bits), k =
// round(256 m), c = RN(256/k) from the table, and
//   log1p(x) = E ln2 - log(c) + log1p(t),  t = c m - 1 + c u_lo 2^-E,
// c m exact as a Dekker product whose high part minus 1 is exact
// (Sterbenz), so t = t_hi + t_lo to some 2^-105 absolute (exact where
// c = 1, that is for |x| <= 2^-9 or so, where t is x), |t| <= 2^-8.5.
//
// log1p(t) = t_hi - t_hi^2/2 [an exact product] + t_lo (1 - t_hi + t_hi^2)
// + t_hi^3 Q(t_hi), Q Taylor's to t^6/9 (truncation and coefficients
// 2^-72.6 relative, expm1_log1p_tables.hpp); the rounding of t_hi^3 Q,
// |t^3 Q| <= 2^-18.6 |t|, some 4.5 roundings of 2^-53: 2^-69.4 |t|; the
// tail's additions 2^-75. So log1p(t) within 2^-69.1 relative.
//
// The sum: E ln2_hi exact (ln2_hi of 42 bits), two-summed with -log(c)'s
// high part and then log1p(t)'s; -log(c) is known to 2^-107 relative and ln2
// to 2^-101.5. The terms share their sign or the sum keeps half the larger:
// E != 0 puts |E ln2 - log c| >= 0.34 > 2|log1p(t)|, and for E = 0, k != 256,
// |log(k/256)| >= 2^-8 against |log1p(t)| <= 2^-9. So y within some
// 2^-68.5 |y|, measured 2^-70.7 over 20 million arguments
// (reference/correct_rounding --error). The rounding test takes 2^-66.
//
// For |x| < 2^-54, x^2/2 < 2^-55 |x| is below half an ulp of x: log1p(x)
// rounds to x (and keeps the sign of -0). log1p(-1) = -inf, log1p(x) for
// x < -1 is NaN, log1p(+inf) = +inf.
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

// log1p(x) for any x, correctly rounded, by the fixed-point method alone.
double log1p_last_resort(double x);

namespace {

// |x| below this: log1p(x) rounds to x.
inline constexpr double kLog1pTiny = 0x1p-54;
inline constexpr double kLog1pTestError = 0x1p-66;

// log(2^shift (u_hi + u_lo)) = hi + lo for a positive normal u_hi and
// |u_lo| <= 2^-28 u_hi, shift an integer (E + shift in [-53, 1025]): the
// method below with u given as a pair. Where u = 1 + x exactly, the error
// bound above; asinh (asinh.hpp) passes u = x + sqrt(x^2 + 1) to some
// 2^-104 relative, and u/2 with shift 1 for large x.
template <class V>
[[gnu::always_inline]] inline Pair<V> log_of_pair(Pair<V> u, V shift) {
  using I = LaneInt<V>;
  constexpr std::int64_t kSqrtHalf = 0x3fe6a09e667f3bcd;  // the bits of sqrt(1/2)
  // u_hi = 2^E m, m in [sqrt(1/2), sqrt(2)).
  const I bits = bits_of(u.hi);
  const I e = (bits - kSqrtHalf) >> 52;
  const V m = from_bits<V>(bits - (e << 52));
  const V ed = as_double<V>(e) + shift;
  I k;
  nearest_integer(m * 256.0, k);
  const I row = k - kLog1pFirst;
  const V c = gather<V>(kLog1pTable, row, 0);
  const V l_hi = gather<V>(kLog1pTable, row, 1), l_lo = gather<V>(kLog1pTable, row, 2);
  // u_lo 2^-E in two factors (E in [-53, 1024]).
  const I half = e >> 1;
  const V u_lo = (u.lo * power_of_two<V>(-half)) * power_of_two<V>(half - e);
  // t = c (m + u_lo 2^-E) - 1.
  const Pair<V> p = two_prod(c, m);
  const Pair<V> t = two_sum(p.hi - 1.0, p.lo + c * u_lo);
  // log1p(t), relative to log1p(t).
  const Pair<V> sq = two_prod(t.hi, t.hi);
  const V poly = (sq.hi * t.hi) * horner_fused(kLog1pTaylor, t.hi);
  const Pair<V> lead = fast_two_sum(t.hi, -0.5 * sq.hi);
  const V tail = lead.lo + (t.lo * ((1.0 - t.hi) + sq.hi) + (poly - 0.5 * sq.lo));
  const Pair<V> l = fast_two_sum(lead.hi, tail);
  // E ln2 - log(c) + log1p(t).
  const Pair<V> a = two_sum(ed * kLn2Hi, l_hi);
  const Pair<V> s = two_sum(a.hi, l.hi);
  return fast_two_sum(s.hi, s.lo + (a.lo + (l.lo + (l_lo + ed * kLn2Lo))));
}

// log1p(x) = hi + lo for x in (-1, DBL_MAX] with |x| >= kLog1pTiny, within
// the error bound above.
template <class V>
[[gnu::always_inline]] inline Pair<V> log1p_reduced(V x) {
  return log_of_pair(two_sum(splat<V>(1.0), x), splat<V>(0.0));
}

// The fast path for x in (-1, DBL_MAX], |x| >= kLog1pTiny: the correctly
// rounded log1p(x) where `decided`, something else elsewhere.
template <class V>
[[gnu::always_inline]] inline V log1p_fast(V x, Mask<V>& decided) {
  return ziv_round(log1p_reduced(x), kLog1pTestError, decided);
}

// log1p(x) correctly rounded to nearest, each lane.
template <class V>
[[gnu::always_inline]] inline V log1p_correct(V x) {
  if constexpr (kScalar<V>) {
    if (!(x > -1.0 && x < __builtin_inf())) {
      if (x == -1.0) return -__builtin_inf();
      if (x == __builtin_inf() || x != x) return x + x;
      return __builtin_nan("");
    }
    if (abs_of(x) < kLog1pTiny) return x;
    bool decided;
    const double y = log1p_fast(x, decided);
    return decided ? y : log1p_last_resort(x);
  } else {
    return correct_lanes(
        x, (x > -1.0) & (x < __builtin_inf()) & (abs_of(x) >= kLog1pTiny), 1.0,
        [](V v, Mask<V>& decided) { return log1p_fast(v, decided); },
        [](double v) { return log1p_correct(v); });
  }
}

}  // namespace
}  // namespace tarvik::rational
