#include "tarvik/rational/householder.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

#include "tarvik/numeric.hpp"
#include "tarvik/rational/normalised_black.hpp"

namespace tarvik::rational {

namespace {

// The third-order Householder step from nu = -g/g', eta = g''/g' and
// kappa = g'''/g':  nu (1 + eta nu/2) / (1 + nu (eta + nu kappa/6)).
inline double householder_step(double nu, double eta, double kappa) {
  const double numerator = eta * 0.5 * nu + 1.0;
  const double denominator = nu * (eta + (nu * kappa) / 6.0) + 1.0;
  return nu * (numerator / denominator);
}

// The step for g = b - beta.
inline double plain_step(double x, double s, double beta, double b, double vega) {
  const double h = x / s;
  const double eta_b = (h * h) / s + s * -0.25;
  const double xs2 = x / (s * s);
  const double nu = (beta - b) / vega;
  const double kappa = eta_b * eta_b + (xs2 * xs2) * -3.0 + -0.25;
  return householder_step(nu, eta_b, kappa);
}

// The step for g = 1/ln b - 1/ln beta. With L = ln b and rho = b'/b the
// Newton step is L (ln beta - L)/(ln beta rho); eta and kappa are those of b
// corrected for the reciprocal logarithm.
inline double reciprocal_log_step(double x, double s, double ln_beta, double b, double vega) {
  const double h = x / s;
  const double eta_b = (h * h) / s + s * -0.25;
  const double hs = h / s;
  const double ln_b = std::log(b);
  const double rho = vega / b;
  const double nu = (ln_b * (ln_beta - ln_b) / ln_beta) / rho;
  const double one_plus_two_over_l = 1.0 + 2.0 / ln_b;
  const double eta = eta_b - one_plus_two_over_l * rho;
  const double kappa = (eta_b * eta_b - 3.0 * (hs * hs) - 0.25) +
                       ((3.0 / ln_b) * (1.0 / ln_b + 1.0) + 1.0) * (rho * rho + rho * rho) -
                       one_plus_two_over_l * ((3.0 * eta_b) * rho);
  return householder_step(nu, eta, kappa);
}

// The step for g = ln((b_max - beta)/(b_max - b)), with gamma = b'/(b_max - b).
inline double log_gap_step(double x, double s, double beta, double b_max, double b, double vega) {
  const double h = x / s;
  const double eta_b = (h * h) / s + s * -0.25;
  const double xs2 = x / (s * s);
  const double gap = b_max - b;
  const double g = std::log((b_max - beta) / gap);
  const double gamma = vega / gap;
  const double nu = -g / gamma;
  const double eta = eta_b + gamma;
  const double kappa =
      (eta_b * eta_b - (xs2 * xs2) * 3.0 - 0.25) + gamma * (3.0 * eta_b + (gamma + gamma));
  return householder_step(nu, eta, kappa);
}

}  // namespace

double normalised_vega(double x, double s) {
  if (x == 0.0) return kInvSqrtTwoPi * std::exp(s * (s * -0.125));
  if (s <= 0.0 || s <= std::fabs(x) * kSqrtMinNormal) return 0.0;
  const double h = x / s;
  const double t = 0.5 * s;
  return kInvSqrtTwoPi * std::exp((h * h + t * t) * -0.5);
}

BlackAndVega normalised_black_and_vega(double x, double s) {
  const NormalisedBlackTerms terms = normalised_black_call_terms(x, s);
  // Where normalised_vega uses the general formula its exponent is the one
  // the price was built on: (x/s)^2 + (s/2)^2 times -1/2.
  if (x != 0.0 && s > std::fabs(x) * kSqrtMinNormal && !std::isnan(terms.gaussian)) {
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
        bisect = b <= 0.0 || vega <= 0.0;
        break;
      case RefinementObjective::Plain:
        bisect = !(vega > 0.0 && vega < std::numeric_limits<double>::infinity());
        break;
      case RefinementObjective::LogGap:
        bisect = b >= b_max || vega <= kMinNormal;
        break;
    }
    if (bisect) {
      ds = 0.5 * (s_left + s_right) - s;
    } else {
      switch (objective) {
        case RefinementObjective::ReciprocalLog:
          ds = reciprocal_log_step(x, s, ln_beta, b, vega);
          break;
        case RefinementObjective::Plain:
          ds = plain_step(x, s, beta, b, vega);
          break;
        case RefinementObjective::LogGap:
          ds = log_gap_step(x, s, beta, b_max, b, vega);
          break;
      }
    }
    ds = max_num(ds, -0.5 * s);
    s = s + ds;
  }
  return s;
}

}  // namespace tarvik::rational
