// sin(x) and cos(x) correctly rounded to nearest for every double x, in the
// shape of exp (exp.hpp): a fast path whose error is bounded, Ziv's rounding
// test, and a fixed-point last resort (trig.cpp) for the rest. The two share
// one reduction and one evaluation: cos(x) = sin(x + pi/2) is the same sum
// with the table's index moved by a quarter turn.
//
// Fast path, |x| < 2^18 (and |x| >= 2^-26 for sin, 2^-27 for cos): x = k pi/64
// + r with k the integer nearest x 64/pi and |r| <= pi/128 (plus rounding), by
// Cody and Waite's reduction (W. J. Cody, W. Waite, "Software Manual for the
// Elementary Functions", 1980, ch. 8) with pi/64 in four parts: P1 and P2 of
// 30 bits, so that k P1 and k P2 are exact for |k| < 2^23 and x - k P1 is
// exact (Sterbenz), k P3 as an exact product (Dekker), k P4 in double. r is
// a double-double within some 2^-147 absolute (|k| 2^-124 from P4's rounding
// and pi/64's truncation, 2^-172.7 relative), against |r| >= 2^-61 wherever
// r is the result's leading term (x near a multiple of pi: the worst cases of
// the reduction, J.-M. Muller, "Elementary Functions", 3rd ed., ch. 11, lie
// farther than 2^-61 for every double): some 2^-86 relative. Then, with
// j = k mod 128 and S_i = sin(i pi/64) a double-double from the table,
//   sin(x) = S_j cos(r) + S_(j+32) sin(r),
//   cos(x) = S_(j+32) cos(r) + S_(j+64) sin(r),
// sin(r)/r and cos(r) Taylor's polynomials in u = r^2 (degrees 4 and 5,
// truncation 2^-78.7 and 2^-93.0 relative, trig_tables.hpp) evaluated with
// their first four coefficients as double-doubles (erfc.hpp's head_horner;
// u <= 2^-10.7, so the double tail adds below 2^-80), u = r^2 as a pair.
// Where S_j = 0 (j = 0, 64) the result is +-sin(r) with its relative error;
// elsewhere |sin(x)| >= sin(pi/128) and the two products are at most twice
// the result, each with errors of some 2^-104. In all the relative error of
// the pair before the rounding test is below 2^-78 (sin(r)/r's truncation
// first), measured 2^-78.74 over 10^5 arguments (reference/correct_rounding
// --only sin --error, and cos alike). The rounding test takes 2^-66, so that
// about one argument in 5,000 goes on to the last resort.
//
// Below 2^-26, sin(x) = x (1 - x^2/6 + ...) is within 2^-54.58 relative of
// x, nearer than any midpoint next to x: sin rounds to x (-0 to -0, the
// subnormals to themselves). Below 2^-27, cos(x) = 1 - x^2/2 + ... is above
// 1 - 2^-55, the midpoint below 1 being 1 - 2^-54: cos rounds to 1.
//
// The last resort (trig.cpp) reduces by Payne and Hanek's method (M. Payne,
// R. Hanek, "Radian reduction for trigonometric functions", SIGNUM Newsl. 18
// (1983) 19-24) in 256-bit fixed point with 2/pi to 1536 bits, then sums
// Taylor's series; it takes the undecided arguments and every |x| >= 2^18.
// sin(+-inf), cos(+-inf) and NaN give NaN.
#pragma once

#include <cstdint>

#include "special/erfc.hpp"
#include "special/exact.hpp"
#include "special/trig_tables.hpp"
#include "special/value.hpp"
#include "special/ziv.hpp"

namespace tarvik::rational {

// sin(x), cos(x) for any x, correctly rounded, by the fixed-point method alone.
double sin_last_resort(double x);
double cos_last_resort(double x);

namespace {

// From here up, the last resort's reduction.
inline constexpr double kTrigFastTop = 0x1p18;
inline constexpr double kSinTiny = 0x1p-26;
inline constexpr double kCosTiny = 0x1p-27;
inline constexpr double kTrigTestError = 0x1p-66;

// x = k pi/64 + r: j = k mod 128 and r as a double-double, for |x| < 2^18.
template <class V>
struct TrigReduction {
  LaneInt<V> j;
  Pair<V> r;
};

template <class V>
[[gnu::always_inline]] inline TrigReduction<V> reduce_trig(V x) {
  LaneInt<V> k;
  const V kd = nearest_integer(x * k64ByPi, k);
  const V a = x - kd * kPiBy64P1;                        // exact, as is kd * kPiBy64P2
  const Pair<V> b = two_sum(a, -(kd * kPiBy64P2));
  const Pair<V> p = two_prod(kd, splat<V>(kPiBy64P3));
  const Pair<V> c = two_sum(b.hi, -p.hi);
  const V lo = ((b.lo - p.lo) + c.lo) - kd * kPiBy64P4;
  return {k & 127, two_sum(c.hi, lo)};
}

// sin(x + quarter pi/2) = hi + lo for kSinTiny <= |x| < kTrigFastTop
// (quarter 0: sin; 1: cos, from |x| >= kCosTiny), within the bound above.
template <class V>
[[gnu::always_inline]] inline Pair<V> trig_reduced(V x, int quarter) {
  using I = LaneInt<V>;
  const TrigReduction<V> red = reduce_trig(x);
  const Pair<V> r = red.r;
  const Pair<V> sq = two_prod(r.hi, r.hi);
  const Pair<V> u = {sq.hi, sq.lo + 2.0 * (r.hi * r.lo)};
  const Pair<V> sp = head_horner<4>(u, [](int c) { return kSinPoly[c]; });
  const Pair<V> cr = head_horner<5>(u, [](int c) { return kCosPoly[c]; });
  const Pair<V> q = two_prod(r.hi, sp.hi);
  const Pair<V> sr = {q.hi, q.lo + (r.hi * sp.lo + r.lo * sp.hi)};
  const I i = (red.j + splat<I, std::int64_t>(32 * quarter)) & 127;
  const I i_next = (i + 32) & 127;
  const V s_hi = gather<V>(kSinTable, i, 0), s_lo = gather<V>(kSinTable, i, 1);
  const V c_hi = gather<V>(kSinTable, i_next, 0), c_lo = gather<V>(kSinTable, i_next, 1);
  const Pair<V> a = two_prod(s_hi, cr.hi);
  const Pair<V> b = two_prod(c_hi, sr.hi);
  const Pair<V> t = two_sum(a.hi, b.hi);
  const V lo = t.lo + ((a.lo + b.lo) +
                       ((s_hi * cr.lo + s_lo * cr.hi) + (c_hi * sr.lo + c_lo * sr.hi)));
  return fast_two_sum(t.hi, lo);
}

// The fast paths for x in their ranges: the correctly rounded sin(x) or
// cos(x) where `decided`, something else elsewhere.
template <class V>
[[gnu::always_inline]] inline V sin_fast(V x, Mask<V>& decided) {
  return ziv_round(trig_reduced(x, 0), kTrigTestError, decided);
}
template <class V>
[[gnu::always_inline]] inline V cos_fast(V x, Mask<V>& decided) {
  return ziv_round(trig_reduced(x, 1), kTrigTestError, decided);
}

// sin(x) correctly rounded to nearest, each lane.
template <class V>
[[gnu::always_inline]] inline V sin_correct(V x) {
  if constexpr (kScalar<V>) {
    const double ax = abs_of(x);
    if (!(ax < kTrigFastTop)) return x != x || ax == __builtin_inf() ? x - x : sin_last_resort(x);
    if (ax < kSinTiny) return x;
    bool decided;
    const double y = sin_fast(x, decided);
    return decided ? y : sin_last_resort(x);
  } else {
    const V ax = abs_of(x);
    return correct_lanes(
        x, (ax >= kSinTiny) & (ax < kTrigFastTop), 1.0,
        [](V v, Mask<V>& decided) { return sin_fast(v, decided); },
        [](double v) { return sin_correct(v); });
  }
}

// cos(x) correctly rounded to nearest, each lane.
template <class V>
[[gnu::always_inline]] inline V cos_correct(V x) {
  if constexpr (kScalar<V>) {
    const double ax = abs_of(x);
    if (!(ax < kTrigFastTop)) return x != x || ax == __builtin_inf() ? x - x : cos_last_resort(x);
    if (ax < kCosTiny) return 1.0;
    bool decided;
    const double y = cos_fast(x, decided);
    return decided ? y : cos_last_resort(x);
  } else {
    const V ax = abs_of(x);
    return correct_lanes(
        x, (ax >= kCosTiny) & (ax < kTrigFastTop), 1.0,
        [](V v, Mask<V>& decided) { return cos_fast(v, decided); },
        [](double v) { return cos_correct(v); });
  }
}

}  // namespace
}  // namespace tarvik::rational
