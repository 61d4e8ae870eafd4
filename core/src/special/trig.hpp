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
// sin(r)/r and cos(r) Taylor's polynomials in u = r^2 (degrees 5 and 6;
// 2^-84.3 and 2^-80.0 relative as stored, trig_tables.hpp), u = r^2 as a
// pair, 1 + u (c1 + tail) with the tail in double (u <= 2^-10.7: it weighs
// below 2^-15.3, its roundings some 2^-78 after the factor u) and the rest
// in double-double.
// Where S_j = 0 (j = 0, 64) the result is +-sin(r) with its relative error
// (below 2^-78); elsewhere |sin(x)| >= sin(pi/128) and the two products are
// at most twice the result, so cos(r)'s 2^-78 becomes at most 2^-77, the
// table's 2^-107.6 and the double-double roundings some 2^-103. In all the
// relative error of the pair before the rounding test is below 2^-75 (with
// either reduction, below), measured 2^-76.35 (sin) and 2^-76.36 (cos) over
// 10^7 arguments, an eighth of them beyond 2^18 (reference/correct_rounding
// --only sin --count 10000000 --error, and cos). The rounding test takes
// 2^-74, which leaves some one argument in a million to the last resort.
//
// Below 2^-26, sin(x) = x (1 - x^2/6 + ...) is within 2^-54.58 relative of
// x, nearer than any midpoint next to x: sin rounds to x (-0 to -0, the
// subnormals to themselves). Below 2^-27, cos(x) = 1 - x^2/2 + ... is above
// 1 - 2^-55, the midpoint below 1 being 1 - 2^-54: cos rounds to 1.
//
// From |x| >= 2^18 on, x is reduced by Payne and Hanek's method (M. Payne,
// R. Hanek, "Radian reduction for trigonometric functions", SIGNUM Newsl. 18
// (1983) 19-24) in 256-bit fixed point with 2/pi to 1536 bits (trig.cpp):
// x 64/pi mod 128 = j + f, |f| <= 1/2 to 2^-254, f as a double-double (its
// leading 106 bits) times pi/64 (2^-109.7), so r within 2^-103 relative,
// then the same evaluation and test. The last resort (trig.cpp) reduces the
// same way by pi/2 and sums Taylor's series in fixed point; it takes the
// arguments either test leaves undecided.
// sin(+-inf), cos(+-inf) and NaN give NaN.
#pragma once

#include <cstddef>
#include <cstdint>

#include "special/exact.hpp"
#include "special/trig_tables.hpp"
#include "special/value.hpp"
#include "special/ziv.hpp"

namespace tarvik::rational {

// sin(x), cos(x) for any x, correctly rounded, by the fixed-point method alone.
double sin_last_resort(double x);
double cos_last_resort(double x);
// sin(x + quarter pi/2) = hi + lo for finite |x| >= kTrigFastTop, through
// the fixed-point reduction and the fast path's evaluation (trig.cpp).
struct TrigPair {
  double hi, lo;
};
TrigPair trig_huge_reduced(double x, int quarter);
// sin(x), cos(x) for finite |x| >= kTrigFastTop, correctly rounded: the
// above, its rounding test, the last resort where it cannot decide.
double sin_huge(double x);
double cos_huge(double x);

namespace {

// From here up, the last resort's reduction.
inline constexpr double kTrigFastTop = 0x1p18;
inline constexpr double kSinTiny = 0x1p-26;
inline constexpr double kCosTiny = 0x1p-27;
inline constexpr double kTrigTestError = 0x1p-74;

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

// q = u (c1 + u (c2 + ...)) of 1 + q, for a row of trig_tables.hpp or
// atan2_tables.hpp (c1 = c[0] + c[1], then c[2]...) and a small u = u_hi +
// u_lo (2^-10.7 here, 2^-14 in atan2.hpp): the tail u (c2 + ...) in double
// (below 2^-15.3 here, so its roundings weigh some 2^-78 after the factor
// u), c1 + tail and u times it as double-doubles.
template <std::size_t N, class V>
[[gnu::always_inline]] inline Pair<V> correction_in_square(const double (&c)[N], Pair<V> u) {
  V tail = splat<V>(c[N - 1]);
#pragma GCC unroll 8
  for (std::size_t i = N - 2; i >= 2; --i) tail = c[i] + u.hi * tail;
  tail = u.hi * tail;
  const Pair<V> a = fast_two_sum(splat<V>(c[0]), tail);
  const Pair<V> q = two_prod(u.hi, a.hi);
  return {q.hi, q.lo + (u.hi * (a.lo + c[1]) + u.lo * a.hi)};
}

// sin(j pi/64 + r + quarter pi/2) = hi + lo for |r| <= pi/128 (plus
// rounding) a double-double, j in [0, 127] (quarter 0: sin; 1: cos).
template <class V>
[[gnu::always_inline]] inline Pair<V> trig_evaluate(LaneInt<V> j, Pair<V> r, int quarter) {
  using I = LaneInt<V>;
  const Pair<V> sq = two_prod(r.hi, r.hi);
  const Pair<V> u = {sq.hi, sq.lo + 2.0 * (r.hi * r.lo)};
  // sin r = r + r q_s, cos r = 1 + q_c.
  const Pair<V> qs = correction_in_square(kSinPoly, u);
  const Pair<V> qc = correction_in_square(kCosPoly, u);
  const Pair<V> rq = two_prod(r.hi, qs.hi);
  const Pair<V> s0 = fast_two_sum(r.hi, rq.hi);
  const Pair<V> sr = {s0.hi, s0.lo + (r.lo + (rq.lo + (r.hi * qs.lo + r.lo * qs.hi)))};
  const Pair<V> c0 = fast_two_sum(splat<V>(1.0), qc.hi);
  const Pair<V> cr = {c0.hi, c0.lo + qc.lo};
  const I i = (j + splat<I, std::int64_t>(32 * quarter)) & 127;
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

// sin(x + quarter pi/2) = hi + lo for kSinTiny <= |x| < kTrigFastTop
// (quarter 0: sin; 1: cos, from |x| >= kCosTiny), within the bound above.
template <class V>
[[gnu::always_inline]] inline Pair<V> trig_reduced(V x, int quarter) {
  const TrigReduction<V> red = reduce_trig(x);
  return trig_evaluate(red.j, red.r, quarter);
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
    if (!(ax < kTrigFastTop)) return x != x || ax == __builtin_inf() ? x - x : sin_huge(x);
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
    if (!(ax < kTrigFastTop)) return x != x || ax == __builtin_inf() ? x - x : cos_huge(x);
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
