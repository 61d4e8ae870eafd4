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
//
// The last resort (exp.cpp) computes exp in 256-bit fixed point and rounds
// once, to the subnormal grid where the result is below 2^-1022. It takes
// the arguments the test cannot decide (some 1 in 5,000 of random
// arguments), and x in [-745.2, -707.5] where the result is subnormal or
// near it.
#pragma once

#include <bit>
#include <cstdint>

#include "special/exact.hpp"
#include "special/exp_tables.hpp"
#include "special/value.hpp"

namespace tarvik::rational {

// exp(x) for any x, correctly rounded, by the fixed-point method alone.
double exp_last_resort(double x);

namespace {

// Largest x whose exp is below DBL_MAX; beyond, +inf.
inline constexpr double kExpOverflow = 0x1.62e42fefa39efp+9;
// From here down the result may leave the normal range: the last resort.
inline constexpr double kExpFastLow = -707.5;
// |x| below this: exp(x) rounds to 1.
inline constexpr double kExpTiny = 0x1p-54;
inline constexpr double kExpTestError = 0x1p-66;

// table[i][column] for each lane's i.
template <class V, class I>
[[gnu::always_inline]] inline V gather(const double (*table)[2], I i, int column) {
  if constexpr (kScalar<V>) {
    return table[i][column];
  } else {
    V r;
    for (std::size_t k = 0; k < sizeof(V) / sizeof(double); ++k) r[k] = table[i[k]][column];
    return r;
  }
}

// 2^e of an integer e in [-1022, 1023], each lane.
template <class V, class I>
[[gnu::always_inline]] inline V power_of_two(I e) {
  if constexpr (kScalar<V>) {
    return std::bit_cast<double>(static_cast<std::uint64_t>(e + 1023) << 52);
  } else {
    return (V)((e + 1023) << 52);
  }
}

// The integer type of a value type's lanes.
template <class V>
using LaneInt = std::conditional_t<kScalar<V>, std::int64_t, Mask<V>>;

// exp(x) = 2^m (hi + lo) for x in [kExpFastLow, kExpOverflow], hi + lo
// within the error bound above.
template <class V>
[[gnu::always_inline]] inline Pair<V> exp_reduced(V x, LaneInt<V>& m) {
  using I = LaneInt<V>;
  constexpr double kShifter = 0x1.8p52;
  const V shifted = x * k128ByLn2 + kShifter;
  const V kd = shifted - kShifter;
  I k;
  if constexpr (kScalar<V>) {
    k = std::bit_cast<std::int64_t>(shifted) - std::bit_cast<std::int64_t>(kShifter);
  } else {
    k = (I)shifted - splat<I, std::int64_t>(std::bit_cast<std::int64_t>(kShifter));
  }
  m = k >> 7;
  const I j = k & 127;
  // r = x - k ln2/128 as a double-double.
  const V r1 = x - kd * kLn2By128Hi;  // exact, as is kd * kLn2By128Mid
  const Pair<V> r = two_sum(r1, -(kd * kLn2By128Mid));
  const V r_lo = r.lo - kd * kLn2By128Lo;
  // exp(r) - 1 = e_hi + e_lo.
  const V r2 = r.hi * r.hi;
  const V p = r2 * (kExpTaylor[0] +
                    r.hi * (kExpTaylor[1] + r.hi * (kExpTaylor[2] +
                                                    r.hi * (kExpTaylor[3] + r.hi * kExpTaylor[4]))));
  const Pair<V> e = fast_two_sum(r.hi, r_lo + (p + r_lo * r.hi));
  // 2^(j/128) (1 + e).
  const V t_hi = gather<V>(kExp2Table, j, 0), t_lo = gather<V>(kExp2Table, j, 1);
  const Pair<V> a = two_prod(t_hi, e.hi);
  const V rest = a.lo + (t_hi * e.lo + (t_lo + t_lo * e.hi));
  const Pair<V> s = fast_two_sum(t_hi, a.hi);
  return fast_two_sum(s.hi, s.lo + rest);
}

// The fast path for x in [kExpFastLow, kExpOverflow]: the correctly rounded
// exp(x) where `decided`, something else elsewhere.
template <class V>
[[gnu::always_inline]] inline V exp_fast(V x, Mask<V>& decided) {
  using I = LaneInt<V>;
  I m;
  const Pair<V> v = exp_reduced(x, m);
  // Both ends of the error interval round alike: then so does exp(x).
  const V bound = v.hi * kExpTestError;
  const V up = v.hi + (v.lo + bound);
  decided = up == v.hi + (v.lo - bound);
  // 2^m in two factors, each a normal number: exact for a normal result.
  const I half = m >> 1;
  return (up * power_of_two<V>(half)) * power_of_two<V>(m - half);
}

// exp(x) correctly rounded to nearest, each lane.
template <class V>
[[gnu::always_inline]] inline V exp_correct(V x) {
  if constexpr (kScalar<V>) {
    if (!(x >= kExpFastLow && x <= kExpOverflow)) {
      if (x > kExpOverflow) return __builtin_inf();
      return x != x ? x + x : exp_last_resort(x);
    }
    if (abs_of(x) < kExpTiny) return 1.0;
    bool decided;
    const double y = exp_fast(x, decided);
    return decided ? y : exp_last_resort(x);
  } else {
    const Mask<V> in_range = (x >= kExpFastLow) & (x <= kExpOverflow);
    const V safe = select(in_range, x, 0.0);
    Mask<V> decided;
    V y = exp_fast(safe, decided);
    const Mask<V> rest = mask_not(decided & in_range);
    if (any(rest)) {
      for (std::size_t i = 0; i < sizeof(V) / sizeof(double); ++i) {
        if (rest[i]) y[i] = exp_correct(x[i]);
      }
    }
    return y;
  }
}

}  // namespace
}  // namespace tarvik::rational
