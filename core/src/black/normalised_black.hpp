// The normalised, undiscounted Black call price
//   b(x, s) = Phi(x/s + s/2) e^(x/2) - Phi(x/s - s/2) e^(-x/2),
// with x = ln(F/K) and s = sigma sqrt(T), evaluated to near full relative
// accuracy everywhere, following the construction of Jaeckel's "Let's Be
// Rational" (2015): out-of-the-money arguments are evaluated by one of four
// methods chosen from h = x/s and t = s/2, so that the result keeps close to
// full relative accuracy where the two terms are tiny or nearly equal;
// in-the-money arguments are reduced by put-call symmetry.
//
// The methods are templates over the value type (value.hpp), shared by the
// scalar function (normalised_black.cpp) and the lane kernels; the callers
// form exp, erfcx and Phi of the arguments given here and pass them in.
#pragma once

#include <cmath>

#include "special/value.hpp"
#include "tarvik/elementary.hpp"
#include "tarvik/numeric.hpp"

namespace tarvik::rational {

// Below this x^2 the normalised intrinsic value uses its Taylor series.
inline constexpr double kIntrinsicTaylorLimit = 0.011962890625;  // 98 * 2^-13

inline constexpr double kEta = -10.0;                // asymptotic expansion for h < eta
inline constexpr double kTau = 0.21022410381342865;  // 2 eps^(1/16) by four square roots of eps
inline constexpr double kTauPlusEta = -9.7897758961865708;  // tau + eta, as one constant
inline constexpr double kSplitHPlusT = 0.85;                // direct formula for h + t above this

namespace {

// 2 sinh(x/2) = e^(x/2) - e^(-x/2) by its series x (1 + x^2/24 + x^4/1920 +
// x^6/322560 + x^8/92897280), for x^2 below kIntrinsicTaylorLimit; beyond,
// intrinsic_from_exp(exp(0.5 x)).
template <class V>
[[gnu::always_inline]] inline V intrinsic_series(V x) {
  const V y = x * x;
  V u = y / 92897280.0 + 3.1001984126984127e-06;
  u = y * u + 0.00052083333333333333;
  u = y * u + 0.041666666666666664;
  u = y * u + 1.0;
  return x * u;
}
template <class V>
[[gnu::always_inline]] inline V intrinsic_from_exp(V b) {
  return b + (-1.0 / b);
}

// 2 sinh(x/2), unclamped. Odd in x only in the series branch: in the
// exponential branch the result at -x is not the negation of the result at x
// bit for bit.
inline double normalised_intrinsic(double x) {
  if (x * x < kIntrinsicTaylorLimit) return intrinsic_series(x);
  return intrinsic_from_exp(elementary::exp(0.5 * x));
}

// maxNum(b, 0): NaN, -0 and negative values become +0.
template <class V>
[[gnu::always_inline]] inline V clamp_non_negative(V b) {
  return select(b > 0.0, b, 0.0);
}

// s <= 0 (relative to |x|): the out-of-the-money value is +0 outright. For
// x = -inf or NaN the product is NaN and the test fails.
template <class V>
[[gnu::always_inline]] inline auto vanishing_volatility(V x, V s) {
  return s <= 0.0 * abs_of(x);
}

// The region tests on h = x/s, written without the division (x <= 0). Each
// is false for NaN, so a NaN lands in the small-t or the erfcx region.
template <class V>
[[gnu::always_inline]] inline auto in_asymptotic_region(V x, V s, V t) {
  return (x < s * kEta) & (x + s * t < s * kTauPlusEta);
}
template <class V>
[[gnu::always_inline]] inline auto in_small_t_region(V t) {
  return t < kTau;
}
template <class V>
[[gnu::always_inline]] inline auto in_direct_region(V x, V s, V t) {
  return x + s * t > s * kSplitHPlusT;
}

// The exponent of the Gaussian factor exp(-(h^2 + t^2)/2) that every method
// but the direct formula multiplies by, and that the vega shares.
template <class V>
[[gnu::always_inline]] inline V gaussian_exponent(V h, V t) {
  return (h * h + t * t) * -0.5;
}

// Asymptotic expansion, region h < eta, h + t < tau + eta. With
// Y(z) = Phi(z)/phi(z) and the series of Abramowitz and Stegun 26.2.12,
//   b = exp(-(h^2 + t^2)/2)/sqrt(2 pi) * (t/r) * S,  r = (h + t)(h - t),
//   S = 2 + q (P1 + 3q (P2 + 5q (P3 + ... + 31q (P16 + 33q P17)...))),
// with q = (h/r)^2 and Pk polynomials of degree k in e = (t/h)^2 whose
// coefficient of e^j is (-1)^k 2 C(2k+1, 2j+1), except four entries that the
// method uses as they stand: P15 e^12 = 1472560 (the rule gives 1472562),
// P16 e^9 = 1637618420 (1637618400), P16 e^12 = 27768320 (27768312) and
// P17 e^10 = 4639918200 (4639918800). Measured against the 50-digit
// references of core/tests/data, the whole function stays within
// 5.2 eps (1 + (h^2 + t^2)/2), the scale that the rounding of h = x/s in the
// Gaussian factor alone imposes; in this region at most 440 ulps, which is
// that scale at h below -10.
constexpr double binomial(int n, int k) {
  double c = 1.0;
  for (int i = 1; i <= k; ++i)
    c = c * (n - k + i) / i;  // exact: every partial product is an integer
  return c;
}

template <int K>
constexpr Poly<K + 1> asymptotic_poly() {
  Poly<K + 1> p{};
  for (int j = 0; j <= K; ++j)
    p[K - j] = (K % 2 == 0 ? 2.0 : -2.0) * binomial(2 * K + 1, 2 * j + 1);
  if constexpr (K == 15) p[K - 12] = -1472560.0;
  if constexpr (K == 16) {
    p[K - 9] = 1637618420.0;
    p[K - 12] = 27768320.0;
  }
  if constexpr (K == 17) p[K - 10] = -4639918200.0;
  return p;
}

template <int K>
constexpr Poly<K + 1> kAsymptoticP = asymptotic_poly<K>();

// T = P_k + (2k+1) q T from k = 16 down to 1, starting from P17.
template <int K, class V>
[[gnu::always_inline]] inline V asymptotic_sum(V q, V e, V T) {
  if constexpr (K == 0) {
    return T;
  } else {
    return asymptotic_sum<K - 1>(q, e, horner(kAsymptoticP<K>, e) + ((2.0 * K + 1.0) * q) * T);
  }
}
template <class V>
[[gnu::always_inline]] inline V asymptotic_expansion(V h, V t, V gaussian) {
  const V r = (h + t) * (h - t);
  const V u = h / r;
  const V q = u * u;
  const V v = t / h;
  const V e = v * v;
  const V T = asymptotic_sum<16>(q, e, horner(kAsymptoticP<17>, e));
  const V S = 2.0 + q * T;
  return ((t / r) * (gaussian * kInvSqrtTwoPi)) * S;
}

// Small-t expansion, region t < tau: Y(h + t) - Y(h - t) to twelfth order in
// t, in terms of a = 1 + h Y(h) with Y(h) = sqrt(pi/2) erfcx(-h/sqrt(2)).
// Every m a - c is formed as (m a) + (-c). erfcx_h = erfcx(erfcx_argument(h)).
template <class V>
[[gnu::always_inline]] inline V erfcx_argument(V z) {
  return z * -kSqrtHalf;
}
template <class V>
[[gnu::always_inline]] inline V small_t_expansion(V h, V t, V erfcx_h, V gaussian) {
  const V a = (h * kSqrtHalfPi) * erfcx_h + 1.0;
  const V w = t * t;
  const V h2 = h * h;
  const V ah2 = a * h2;
  const V n1 = ah2 + (3.0 * a + -1.0);
  const V n2 = (15.0 * a + -7.0) + h2 * (ah2 + (10.0 * a + -1.0));
  const V n3 = (105.0 * a + -57.0) + h2 * ((105.0 * a + -18.0) + h2 * (ah2 + (21.0 * a + -1.0)));
  const V n4 =
      (945.0 * a + -561.0) +
      h2 * ((1260.0 * a + -285.0) + h2 * ((378.0 * a + -33.0) + h2 * (ah2 + (36.0 * a + -1.0))));
  const V n5 = (10395.0 * a + -6555.0) +
               h2 * ((17325.0 * a + -4680.0) +
                     h2 * ((6930.0 * a + -840.0) +
                           h2 * ((990.0 * a + -52.0) + h2 * (ah2 + (55.0 * a + -1.0)))));
  const V n6 = (135135.0 * a + -89055.0) +
               h2 * ((270270.0 * a + -82845.0) +
                     h2 * ((135135.0 * a + -20370.0) +
                           h2 * ((25740.0 * a + -1926.0) +
                                 h2 * ((2145.0 * a + -75.0) + h2 * (ah2 + (78.0 * a + -1.0))))));
  const V E =
      (t + t) *
      (a + w * (n1 / 6.0 +
                w * (n2 / 120.0 +
                     w * (n3 / 5040.0 +
                          w * (n4 / 362880.0 + w * (n5 / 39916800.0 + (w * n6) / 6227020800.0))))));
  return (gaussian * kInvSqrtTwoPi) * E;
}

// Direct formula, region h + t > 0.85: the first term dominates, so there is
// no harmful cancellation; Phi (norm_cdf_tail) keeps its relative accuracy in
// the far tail. p1 = Phi(h + t), p2 = Phi(h - t), b = exp(x/2).
template <class V>
[[gnu::always_inline]] inline V direct_formula(V p1, V p2, V b) {
  return b * p1 - p2 / b;
}

// Remaining region: b = exp(-(h^2 + t^2)/2)/2 * (erfcx(-(h + t)/sqrt(2)) -
// erfcx(-(h - t)/sqrt(2))); e1, e2 are erfcx of erfcx_argument(h + t) and
// erfcx_argument(h - t).
template <class V>
[[gnu::always_inline]] inline V erfcx_formula(V gaussian, V e1, V e2) {
  return (gaussian * 0.5) * (e1 - e2);
}

}  // namespace

// b(x, s) >= 0 (never -0). For x > 0 it is max(normalised_intrinsic(x), 0) +
// b(-x, s). A NaN x, a NaN s with x <= 0, s <= 0 with x <= 0 and x = -inf give
// +0; x = +inf gives +inf. Pure, allocation-free.
double normalised_black_call(double x, double s);

// b(x, s) and, where its evaluation forms it, the Gaussian factor
// exp(-((x/s)^2 + (s/2)^2)/2) = sqrt(2 pi) db/ds, so that a caller needing both
// the price and its vega exponentiates once. gaussian is NaN where the method
// does not form the factor (s <= 0, the direct formula). price is
// normalised_black_call(x, s), bit for bit.
struct NormalisedBlackTerms {
  double price;
  double gaussian;
};
NormalisedBlackTerms normalised_black_call_terms(double x, double s);

// The evaluation method normalised_black_call uses for (x, s), x <= 0 (for
// x > 0 it evaluates at -x). With h = x/s and t = s/2:
enum class NormalisedBlackRegion {
  Zero,        // s <= 0*|x|: the value is +0 outright
  Asymptotic,  // h < -10 and h + t < tau - 10: asymptotic expansion
  SmallT,      // t < tau = 0.21022410381342865: expansion in t
  Direct,      // h + t > 0.85: the two terms with a tail-accurate Phi
  Erfcx,       // otherwise: difference of two scaled erfc values
};
NormalisedBlackRegion normalised_black_region(double x, double s);

}  // namespace tarvik::rational
