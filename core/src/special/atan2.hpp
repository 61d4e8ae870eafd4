// atan2(y, x) correctly rounded to nearest for every pair of doubles, with
// the special cases of C99 Annex F (F.9.1.4: signed zeros, infinities, NaN),
// in the shape of exp (exp.hpp): a fast path whose error is bounded, Ziv's
// rounding test, and a fixed-point last resort (atan2.cpp) for the rest.
//
// Fast path, for finite nonzero x and y with max(|x|, |y|) >= 2^-1022: with
// a = min(|x|, |y|), b = max(|x|, |y|), atan2 is base +- atan(a/b), base 0,
// pi/2 or pi as x's sign and |y| > |x| ask (below), y's sign last. Both
// scaled by 2^-e, b = 2^e b1 with b1 in [1, 2) (exact, but where a 2^-e
// underflows: then a/b < 2^-1022 and it only matters next to pi/2 or pi,
// within 2^-1074 absolute), t = a/b is a double-double by Dekker's residual
// (exact but for the last division, 2^-104 relative). Then atan's addition
// formula with a table (J.-M. Muller, "Elementary Functions", 3rd ed., the
// table-based methods): k the integer nearest 64 t, c = k/64 (t - c exact by
// Sterbenz),
//   atan(t) = atan(c) + atan(v),  v = (t - c)/(1 + t c),  |v| <= 1/128,
// the quotient a double-double (Dekker's division, 2^-104 relative of v, or
// 2^-104 absolute of t where t - c cancels: below 2^-97 relative to atan(t)
// >= 2^-7 for k >= 1), atan(c) from the table (2^-107.3) and atan(v)/v =
// 1 + w (c1 + w (c2 + ...)), w = v^2 <= 2^-14, Taylor's to degree 6 in w
// (2^-84.3 relative as stored), the tail from c2 on in double (below
// 2^-16.3, its roundings some 2^-81 after the factor w; trig.hpp's
// correction_in_square), the rest in double-double. atan(c) and atan(v)
// have the same sign but for v < 0, where atan(v) >= -atan(c)/2; base +-
// atan(t) adds no cancellation (atan(t) <= pi/4 against pi/2 or pi). In all
// the relative error of the pair before the rounding test is below 2^-80,
// measured 2^-81.10 over 10^7 pairs (reference/correct_rounding --only atan2
// --count 10000000 --error). The rounding test takes 2^-79, which leaves
// some one pair in 30 million to the last resort.
//
// Taken by the last resort: the zeros, infinities and NaN; both |x| and |y|
// below 2^-1022; and x > 0, |y| < 2^-900 |x|, where the result is y/x (1 -
// (y/x)^2/3 + ...) and may be subnormal.
#pragma once

#include <cstddef>
#include <cstdint>

#include "special/atan2_tables.hpp"
#include "special/exact.hpp"
#include "special/trig.hpp"
#include "special/value.hpp"
#include "special/ziv.hpp"

namespace tarvik::rational {

// atan2(y, x) for any x and y, correctly rounded, by the fixed-point method
// alone (the special cases included).
double atan2_last_resort(double y, double x);

namespace {

inline constexpr double kAtan2TestError = 0x1p-79;
// x > 0 and |y| below this times |x|: the last resort.
inline constexpr double kAtan2TinyRatio = 0x1p-900;

// The pairs the fast path takes: finite, nonzero, max(|x|, |y|) normal, and
// not x > 0 with |y| < kAtan2TinyRatio |x|.
template <class V>
[[gnu::always_inline]] inline Mask<V> atan2_in_range(V y, V x) {
  const V ax = abs_of(x), ay = abs_of(y);
  constexpr double kInf = __builtin_inf();
  const Mask<V> finite = (ax < kInf) & (ay < kInf) & (ax > 0.0) & (ay > 0.0);
  const Mask<V> normal = (ax >= 0x1p-1022) | (ay >= 0x1p-1022);
  const Mask<V> tiny = (x > 0.0) & (ay * 0x1p900 < ax);
  return finite & normal & mask_not(tiny);
}

// atan2(y, x) = hi + lo for (y, x) in atan2_in_range, within the bound above.
template <class V>
[[gnu::always_inline]] inline Pair<V> atan2_reduced(V y, V x) {
  using I = LaneInt<V>;
  const V ax = abs_of(x), ay = abs_of(y);
  const Mask<V> swap = ay > ax;
  const V a = select(swap, ax, ay), b = select(swap, ay, ax);
  // b = 2^e b1, a1 = a 2^-e.
  const I bb = bits_of(b);
  const I e = (bb >> 52) - 1023;
  const V b1 = from_bits<V>((bb & 0x000fffffffffffff) | 0x3ff0000000000000);
  const V a1 = times_power_of_two(a, -e);
  // t = a1/b1 = t_hi + t_lo.
  const V t_hi = a1 / b1;
  const Pair<V> p = two_prod(t_hi, b1);
  const V t_lo = ((a1 - p.hi) - p.lo) / b1;
  // v = (t - c)/(1 + t c), c = k/64.
  I k;
  const V c = nearest_integer(t_hi * 64.0, k) * 0.015625;
  const Pair<V> num = two_sum(t_hi - c, t_lo);
  const Pair<V> tc = two_prod(t_hi, c);
  const Pair<V> den = fast_two_sum(splat<V>(1.0), tc.hi);
  const V den_lo = den.lo + (tc.lo + t_lo * c);
  const V v_hi = num.hi / den.hi;
  const Pair<V> vd = two_prod(v_hi, den.hi);
  const V v_lo = (((num.hi - vd.hi) - vd.lo) + (num.lo - v_hi * den_lo)) / den.hi;
  // atan(v) = v + v q, q = w (c1 + w (c2 + ...)), w = v^2.
  const Pair<V> sq = two_prod(v_hi, v_hi);
  const Pair<V> q = correction_in_square(kAtanPoly, Pair<V>{sq.hi, sq.lo + 2.0 * (v_hi * v_lo)});
  const Pair<V> vq = two_prod(v_hi, q.hi);
  const Pair<V> av = fast_two_sum(v_hi, vq.hi);
  const V av_lo = av.lo + (v_lo + (vq.lo + (v_hi * q.lo + v_lo * q.hi)));
  // atan(t) = atan(c) + atan(v).
  const V c_hi = gather<V>(kAtanTable, k, 0), c_lo = gather<V>(kAtanTable, k, 1);
  const Pair<V> s = two_sum(c_hi, av.hi);
  const Pair<V> at = fast_two_sum(s.hi, s.lo + (c_lo + av_lo));
  // x > 0: atan(t), or pi/2 - atan(t) where swapped; x < 0: pi - atan(t), or
  // pi/2 + atan(t) where swapped.
  const Mask<V> negative_x = x < 0.0;
  const V base_hi = select(swap, kHalfPiHi, select(negative_x, splat<V>(kPiHi), splat<V>(0.0)));
  const V base_lo = select(swap, kHalfPiLo, select(negative_x, splat<V>(kPiLo), splat<V>(0.0)));
  const V sign = select(swap ^ negative_x, splat<V>(-1.0), splat<V>(1.0));
  const Pair<V> u = two_sum(base_hi, sign * at.hi);
  const Pair<V> r = fast_two_sum(u.hi, u.lo + (base_lo + sign * at.lo));
  const V y_sign = select(y < 0.0, splat<V>(-1.0), splat<V>(1.0));
  return {r.hi * y_sign, r.lo * y_sign};
}

// The fast path for (y, x) in atan2_in_range: the correctly rounded
// atan2(y, x) where `decided`, something else elsewhere.
template <class V>
[[gnu::always_inline]] inline V atan2_fast(V y, V x, Mask<V>& decided) {
  return ziv_round(atan2_reduced(y, x), kAtan2TestError, decided);
}

// correct_lanes (ziv.hpp) for a function of two arguments: fast(y, x,
// decided) on every lane (1, 1 standing in outside `in_range`), then
// scalar(y, x) for each lane out of range or undecided.
template <class V, class Fast, class Scalar>
[[gnu::always_inline]] inline V correct_lanes_2(V y, V x, Mask<V> in_range, Fast fast,
                                                Scalar scalar) {
  Mask<V> decided;
  V r = fast(select(in_range, y, 1.0), select(in_range, x, 1.0), decided);
  const Mask<V> rest = mask_not(decided & in_range);
  if (any(rest)) {
    for (std::size_t i = 0; i < sizeof(V) / sizeof(double); ++i) {
      if (rest[i]) r[i] = scalar(y[i], x[i]);
    }
  }
  return r;
}

// atan2(y, x) correctly rounded to nearest, each lane.
template <class V>
[[gnu::always_inline]] inline V atan2_correct(V y, V x) {
  if constexpr (kScalar<V>) {
    if (!atan2_in_range(y, x)) return atan2_last_resort(y, x);
    bool decided;
    const double r = atan2_fast(y, x, decided);
    return decided ? r : atan2_last_resort(y, x);
  } else {
    return correct_lanes_2(
        y, x, atan2_in_range(y, x),
        [](V v, V u, Mask<V>& decided) { return atan2_fast(v, u, decided); },
        [](double v, double u) { return atan2_correct(v, u); });
  }
}

}  // namespace
}  // namespace tarvik::rational
