// The normalised, undiscounted Black call price
//   b(x, s) = Phi(x/s + s/2) e^(x/2) - Phi(x/s - s/2) e^(-x/2),
// with x = ln(F/K) and s = sigma sqrt(T), evaluated to near full relative
// accuracy everywhere, following the construction of Jaeckel's
// "Let's Be Rational".
#pragma once

#include <cmath>

namespace tarvik::rational {

// Below this x^2 the normalised intrinsic value uses its Taylor series.
inline constexpr double kIntrinsicTaylorLimit = 0.011962890625;  // 98 * 2^-13

// 2 sinh(x/2) = e^(x/2) - e^(-x/2), unclamped. For x^2 below
// kIntrinsicTaylorLimit the series x (1 + x^2/24 + x^4/1920 + x^6/322560 +
// x^8/92897280); otherwise B + (-1/B) with B = exp(0.5 x). Odd in x only in
// the series branch: in the exponential branch the result at -x is not the
// negation of the result at x bit for bit.
inline double normalised_intrinsic(double x) {
  const double y = x * x;
  if (y < kIntrinsicTaylorLimit) {
    double u = y / 92897280.0 + 3.1001984126984127e-06;
    u = y * u + 0.00052083333333333333;
    u = y * u + 0.041666666666666664;
    u = y * u + 1.0;
    return x * u;
  }
  const double b = std::exp(0.5 * x);
  return b + (-1.0 / b);
}

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
