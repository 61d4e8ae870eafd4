// The refinement stage of the implied-volatility solver: at most two
// third-order Householder steps on one of three objective functions of the
// normalised Black price, with bisection of a bracket when the derivatives
// cannot be trusted. Also the normalised vega that the initial guess shares.
//
// The step formulas and the tests that fall back to bisection are templates
// over the value type (value.hpp), shared by householder_refinement and the
// lane kernels; the logarithms are the callers'.
#pragma once

#include <limits>

#include "special/value.hpp"
#include "tarvik/numeric.hpp"

namespace tarvik::rational {
namespace {

// The third-order Householder step from nu = -g/g', eta = g''/g' and
// kappa = g'''/g':  nu (1 + eta nu/2) / (1 + nu (eta + nu kappa/6)).
template <class V>
[[gnu::always_inline]] inline V householder_step(V nu, V eta, V kappa) {
  const V numerator = eta * 0.5 * nu + 1.0;
  const V denominator = nu * (eta + (nu * kappa) / 6.0) + 1.0;
  return nu * (numerator / denominator);
}

// b''/b' in s: (x/s)^2/s - s/4.
template <class V>
[[gnu::always_inline]] inline V black_eta(V x, V s) {
  const V h = x / s;
  return (h * h) / s + s * -0.25;
}

// The step for g = b - beta.
template <class V>
[[gnu::always_inline]] inline V plain_step(V x, V s, V beta, V b, V vega) {
  const V eta_b = black_eta(x, s);
  const V xs2 = x / (s * s);
  const V nu = (beta - b) / vega;
  const V kappa = eta_b * eta_b + (xs2 * xs2) * -3.0 + -0.25;
  return householder_step(nu, eta_b, kappa);
}

// The step for g = 1/ln b - 1/ln beta (ln_b = log(b)). With L = ln b and
// rho = b'/b the Newton step is L (ln beta - L)/(ln beta rho); eta and kappa
// are those of b corrected for the reciprocal logarithm.
template <class V>
[[gnu::always_inline]] inline V reciprocal_log_step(V x, V s, V ln_beta, V ln_b, V b, V vega) {
  const V eta_b = black_eta(x, s);
  const V hs = (x / s) / s;
  const V rho = vega / b;
  const V nu = (ln_b * (ln_beta - ln_b) / ln_beta) / rho;
  const V one_plus_two_over_l = 1.0 + 2.0 / ln_b;
  const V eta = eta_b - one_plus_two_over_l * rho;
  const V kappa = (eta_b * eta_b - 3.0 * (hs * hs) - 0.25) +
                  ((3.0 / ln_b) * (1.0 / ln_b + 1.0) + 1.0) * (rho * rho + rho * rho) -
                  one_plus_two_over_l * ((3.0 * eta_b) * rho);
  return householder_step(nu, eta, kappa);
}

// The step for g = ln((b_max - beta)/(b_max - b)), with gamma = b'/(b_max - b);
// g = log(log_gap_ratio(...)).
template <class V>
[[gnu::always_inline]] inline V log_gap_ratio(V beta, V b_max, V b) {
  return (b_max - beta) / (b_max - b);
}
template <class V>
[[gnu::always_inline]] inline V log_gap_step(V x, V s, V g, V b_max, V b, V vega) {
  const V eta_b = black_eta(x, s);
  const V xs2 = x / (s * s);
  const V gamma = vega / (b_max - b);
  const V nu = -g / gamma;
  const V eta = eta_b + gamma;
  const V kappa =
      (eta_b * eta_b - (xs2 * xs2) * 3.0 - 0.25) + gamma * (3.0 * eta_b + (gamma + gamma));
  return householder_step(nu, eta, kappa);
}

// Where the derivatives of each objective cannot be trusted: bisect instead.
template <class V>
[[gnu::always_inline]] inline auto bisect_reciprocal_log(V b, V vega) {
  return (b <= 0.0) | (vega <= 0.0);
}
template <class V>
[[gnu::always_inline]] inline auto bisect_plain(V vega) {
  return mask_not((vega > 0.0) & (vega < std::numeric_limits<double>::infinity()));
}
template <class V>
[[gnu::always_inline]] inline auto bisect_log_gap(V b, V b_max, V vega) {
  return (b >= b_max) | (vega <= kMinNormal);
}

// A step never takes s below half its value.
template <class V>
[[gnu::always_inline]] inline V limited_step(V ds, V s) {
  return max_of(ds, -0.5 * s);
}

// The vega vanishes (x != 0): s <= 0, or s <= |x| 2^-511, where (x/s)^2
// would overflow. At x = 0 it is kInvSqrtTwoPi exp(zero_x_vega_exponent(s)).
template <class V>
[[gnu::always_inline]] inline auto vega_vanishes(V x, V s) {
  const V limit = abs_of(x) * kSqrtMinNormal;
  return (s <= 0.0) | (s <= limit);
}
template <class V>
[[gnu::always_inline]] inline V zero_x_vega_exponent(V s) {
  return s * (s * -0.125);
}

}  // namespace

// db/ds of the normalised Black price b(x, s):
//   exp(-((x/s)^2 + (s/2)^2)/2) / sqrt(2 pi).
// 0 for x != 0 and s <= |x| 2^-511 (where (x/s)^2 would overflow); for x = 0
// the exponent is formed as s*(s*(-1/8)) for every s.
double normalised_vega(double x, double s);

// b(x, s) and normalised_vega(x, s), bit for bit, from one exponential where
// the normalised Black function forms the vega's Gaussian factor anyway.
struct BlackAndVega {
  double b;
  double vega;
};
BlackAndVega normalised_black_and_vega(double x, double s);

// The function g(s) whose root the refinement seeks (b = b(x, s)):
enum class RefinementObjective {
  ReciprocalLog,  // 1/ln b - 1/ln beta: for prices far below the branch points
  Plain,          // b - beta: the two middle regions, and high prices up to b_max/2
  LogGap,         // ln((b_max - beta)/(b_max - b)): prices above b_max/2
};

// Improves s0 by at most two steps, keeping [s_left, s_right] (s_right may be
// the largest double) around the root. A step no larger than eps*s ends the
// iteration; a second step that starts outside the bracket restarts from its
// midpoint. ln_beta = log(beta) is read by ReciprocalLog only.
double householder_refinement(double x, double beta, double b_max, double s0, double s_left,
                              double s_right, RefinementObjective objective, double ln_beta);

}  // namespace tarvik::rational
