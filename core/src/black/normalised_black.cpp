// The normalised Black call price, scalar: the region of (x, s) picks one of
// the four methods of normalised_black.hpp, whose exp, erfcx and Phi are
// called here.
#include "black/normalised_black.hpp"

#include <cmath>
#include <limits>

#include "special/erfcx.hpp"
#include "tarvik/elementary.hpp"
#include "tarvik/normal.hpp"
#include "tarvik/numeric.hpp"

namespace tarvik::rational {
namespace {

inline NormalisedBlackRegion region_of(double x, double s, double t) {
  if (in_asymptotic_region(x, s, t)) return NormalisedBlackRegion::Asymptotic;
  if (in_small_t_region(t)) return NormalisedBlackRegion::SmallT;
  if (in_direct_region(x, s, t)) return NormalisedBlackRegion::Direct;
  return NormalisedBlackRegion::Erfcx;
}

// b(x, s) for x <= 0 (or NaN). The asymptotic, small-t and erfcx methods
// store the Gaussian factor exp(-(h^2 + t^2)/2) they form in `gaussian` (the
// vega's own exponential); s <= 0 and the direct formula leave it alone.
// Inlined into both callers so that the factor stays in a register.
[[gnu::always_inline]] inline double out_of_the_money(double x, double s, double& gaussian) {
  if (vanishing_volatility(x, s)) return 0.0;
  const double t = 0.5 * s;
  const double h = x / s;
  double b;
  switch (region_of(x, s, t)) {
    case NormalisedBlackRegion::Asymptotic:
      gaussian = elementary::exp(gaussian_exponent(h, t));
      b = asymptotic_expansion(h, t, gaussian);
      break;
    case NormalisedBlackRegion::SmallT: {
      const double e = erfcx_cody(erfcx_argument(h));
      gaussian = elementary::exp(gaussian_exponent(h, t));
      b = small_t_expansion(h, t, e, gaussian);
      break;
    }
    case NormalisedBlackRegion::Direct:
      b = direct_formula(norm_cdf_tail(h + t), norm_cdf_tail(h - t), elementary::exp(x * 0.5));
      break;
    default:
      gaussian = elementary::exp(gaussian_exponent(h, t));
      b = erfcx_formula(gaussian, erfcx_cody(erfcx_argument(h + t)),
                        erfcx_cody(erfcx_argument(h - t)));
      break;
  }
  return clamp_non_negative(b);
}

}  // namespace

double normalised_black_call(double x, double s) {
  double gaussian = 0.0;  // not needed by this caller
  if (x > 0.0) {
    // Put-call symmetry: b(x, s) = iota(x) + b(-x, s).
    return clamp_non_negative(normalised_intrinsic(x)) + out_of_the_money(-x, s, gaussian);
  }
  return out_of_the_money(x, s, gaussian);
}

NormalisedBlackTerms normalised_black_call_terms(double x, double s) {
  double gaussian = std::numeric_limits<double>::quiet_NaN();
  double b;
  if (x > 0.0) {
    b = clamp_non_negative(normalised_intrinsic(x)) + out_of_the_money(-x, s, gaussian);
  } else {
    b = out_of_the_money(x, s, gaussian);
  }
  return {b, gaussian};
}

NormalisedBlackRegion normalised_black_region(double x, double s) {
  if (x > 0.0) x = -x;
  if (vanishing_volatility(x, s)) return NormalisedBlackRegion::Zero;
  return region_of(x, s, 0.5 * s);
}

}  // namespace tarvik::rational
