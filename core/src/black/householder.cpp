#include "black/householder.hpp"

#include <cmath>
#include <cstdint>

#include "black/normalised_black.hpp"
#include "black/solver.hpp"
#include "tarvik/elementary.hpp"
#include "tarvik/numeric.hpp"

namespace tarvik::rational {

double normalised_vega(double x, double s) {
  if (x == 0.0) return kInvSqrtTwoPi * elementary::exp(zero_x_vega_exponent(s));
  if (vega_vanishes(x, s)) return 0.0;
  return kInvSqrtTwoPi * elementary::exp(gaussian_exponent(x / s, 0.5 * s));
}

BlackAndVega normalised_black_and_vega(double x, double s) {
  const NormalisedBlackTerms terms = normalised_black_call_terms(x, s);
  // Where normalised_vega uses the general formula its exponent is the one
  // the price was built on: (x/s)^2 + (s/2)^2 times -1/2.
  if (x != 0.0 && !vega_vanishes(x, s) && !std::isnan(terms.gaussian)) {
    return {terms.price, kInvSqrtTwoPi * terms.gaussian};
  }
  return {terms.price, normalised_vega(x, s)};
}

double householder_refinement(double x, double beta, double b_max, double s0, double s_left,
                              double s_right, RefinementObjective objective, double ln_beta) {
  double s = s0;
  double ds = -kMaxFinite;
  for (std::uint32_t pass = 1; pass <= kRefinementSteps; ++pass) {
    if (!(std::fabs(ds) > kEpsilon * s)) return s;
    if (pass > 1 && !(s_left < s && s < s_right)) {
      s = 0.5 * (s_left + s_right);
      if (s_right - s_left <= kEpsilon * s) return s;
    }
    const auto [b, vega] = normalised_black_and_vega(x, s);
    if (b > beta && s < s_right) {
      s_right = s;
    } else if (b < beta && s > s_left) {
      s_left = s;
    }
    bool bisect = false;
    switch (objective) {
      case RefinementObjective::ReciprocalLog:
        bisect = bisect_reciprocal_log(b, vega);
        break;
      case RefinementObjective::Plain:
        bisect = bisect_plain(vega);
        break;
      case RefinementObjective::LogGap:
        bisect = bisect_log_gap(b, b_max, vega);
        break;
    }
    if (bisect) {
      ds = 0.5 * (s_left + s_right) - s;
    } else {
      switch (objective) {
        case RefinementObjective::ReciprocalLog:
          ds = reciprocal_log_step(x, s, ln_beta, elementary::log(b), b, vega);
          break;
        case RefinementObjective::Plain:
          ds = plain_step(x, s, beta, b, vega);
          break;
        case RefinementObjective::LogGap:
          ds = log_gap_step(x, s, elementary::log(log_gap_ratio(beta, b_max, b)), b_max, b, vega);
          break;
      }
    }
    ds = limited_step(ds, s);
    s = s + ds;
  }
  return s;
}

}  // namespace tarvik::rational
