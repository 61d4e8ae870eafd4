// The standard normal density, distribution function, its complement and a
// tail-accurate variant. Header-only so that every caller (prices, Greeks,
// the implied-volatility solver, batch kernels) expands the same expressions
// in place and a scalar result, a batch element and an intermediate agree
// bit for bit.
#pragma once

#include <cmath>
#include <limits>

#include "tarvik/elementary.hpp"
#include "tarvik/numeric.hpp"

namespace tarvik {

// At or below this argument norm_cdf_tail sums the asymptotic series, and
// below -2^26 = -1/sqrt(eps) its first correction is already under eps.
inline constexpr double kTailThreshold = -10.0;
inline constexpr double kTailCutoff = -67108864.0;

namespace detail {

// The exponent of phi, x*(x*(-0.5)), over a double or a vector of them (the
// lane kernels form it the same way).
template <class V>
[[gnu::always_inline]] inline V norm_pdf_exponent(V x) {
  return x * (x * -0.5);
}

// The next two terms of the series of norm_cdf_tail, - g (xi - yi) with
// xi = (4i - 3)/z^2 and yi = xi (4i - 1)/z^2, starting from i = g = 1;
// advances i and g. A template so that the lane kernels sum the same terms;
// static, so that no instantiation built for one target stands in for
// another's at link time.
template <class V>
[[gnu::always_inline]] static inline V tail_series_term(V z2, V& i, V& g) {
  const V k = 4.0 * i;
  const V xi = (k - 3.0) / z2;
  const V yi = xi * ((k - 1.0) / z2);
  const V a = g * (xi - yi);
  i = i + 1.0;
  g = g * yi;
  return a;
}

}  // namespace detail

// phi(x) from e = exp(norm_pdf_exponent(x)), and Phi(x) or 1 - Phi(x) from
// the erfc of its argument: the forms below, for a batch that computes the
// exponentials or erfc over an array (the same bits).
namespace detail {
[[gnu::always_inline]] inline double norm_pdf_given(double x, double e) {
  if (std::isnan(x)) return std::numeric_limits<double>::quiet_NaN();
  if (std::isinf(x)) return 0.0;
  return e * kInvSqrtTwoPi;
}
template <class V>
[[gnu::always_inline]] inline V norm_cdf_arg(V x) {
  return x * -kSqrtHalf;
}
[[gnu::always_inline]] inline double norm_cdf_c_arg(double x) { return x * kSqrtHalf; }
// Phi(x) or 1 - Phi(x) of a finite x from that erfc.
template <class V>
[[gnu::always_inline]] inline V norm_cdf_finite(V erfc_of_arg) {
  return erfc_of_arg * 0.5;
}
[[gnu::always_inline]] inline double norm_cdf_given(double x, double erfc_of_arg) {
  if (std::isnan(x)) return std::numeric_limits<double>::quiet_NaN();
  if (std::isinf(x)) return x > 0 ? 1.0 : 0.0;
  return norm_cdf_finite(erfc_of_arg);
}
[[gnu::always_inline]] inline double norm_cdf_c_given(double x, double erfc_of_arg) {
  if (std::isnan(x)) return std::numeric_limits<double>::quiet_NaN();
  if (std::isinf(x)) return x > 0 ? 0.0 : 1.0;
  return norm_cdf_finite(erfc_of_arg);
}
}  // namespace detail

// phi(x) = exp(-x^2/2)/sqrt(2 pi), with the exponent formed as x*(x*(-0.5)).
// Returns +0 for |x| so large that x*x overflows.
[[gnu::always_inline]] inline double norm_pdf(double x) {
  return detail::norm_pdf_given(x, elementary::exp(detail::norm_pdf_exponent(x)));
}

// Phi(x) = erfc(-x/sqrt(2))/2: full relative accuracy in the lower tail.
[[gnu::always_inline]] inline double norm_cdf(double x) {
  return detail::norm_cdf_given(x, elementary::erfc(detail::norm_cdf_arg(x)));
}

// 1 - Phi(x) = erfc(x/sqrt(2))/2, computed directly: full relative accuracy
// in the upper tail. norm_cdf_c(x) and norm_cdf(-x) agree bit for bit.
inline double norm_cdf_c(double x) {
  return detail::norm_cdf_c_given(x, elementary::erfc(detail::norm_cdf_c_arg(x)));
}

// Phi(z) with the asymptotic series of Abramowitz and Stegun 26.2.12 at or
// below z = -10:
//   Phi(z) = phi(z)/|z| * (1 - 1/z^2 + 3/z^4 - 15/z^6 + 105/z^8 - ...),
// summed two terms per iteration until the terms of the divergent series stop
// shrinking or drop below one ulp of the sum. Below -2^26 the first
// correction is already under eps and the sum stays exactly 1. Above -10 (or
// for NaN) it is norm_cdf.
inline double norm_cdf_tail(double z) {
  if (z <= kTailThreshold) {
    double sum = 1.0;
    if (z >= kTailCutoff) {
      const double z2 = z * z;
      double i = 1.0;
      double g = 1.0;
      double last = std::numeric_limits<double>::max();
      for (;;) {
        const double a = detail::tail_series_term(z2, i, g);
        sum = sum - a;
        const bool shrinking = last > std::fabs(a) && std::fabs(a) >= std::fabs(sum * kEpsilon);
        last = std::fabs(a);
        if (!shrinking) break;
      }
    }
    const double p = norm_pdf(z);
    return (-(p * sum)) / z;
  }
  return norm_cdf(z);
}

}  // namespace tarvik
