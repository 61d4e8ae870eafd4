#include "black/solver.hpp"

#include <cmath>
#include <limits>

#include "black/householder.hpp"
#include "special/inverse_norm_cdf.hpp"
#include "black/normalised_black.hpp"
#include "black/transforms.hpp"
#include "tarvik/elementary.hpp"
#include "tarvik/normal.hpp"
#include "tarvik/numeric.hpp"

namespace tarvik::rational {

namespace {

// Lowest region, 0 < beta < b_l: interpolate the low-price transform on
// [0, b_l] and invert it.
double lowest_region(double beta, double x, double b_max, double s_l, double b_l) {
  const TransformArguments<double> a = low_price_arguments(x, s_l);
  const Transform<double> t_l = low_price_transform(x, s_l, norm_cdf_tail(a.phi), elementary::exp(a.e1),
                                                    elementary::exp(a.e2), elementary::exp(a.e3));
  const double f = lowest_region_transform(beta, b_l, t_l);
  const double s0 =
      std::fabs(f) < kMinNormal
          ? 0.0
          : low_price_volatility(x, inverse_norm_cdf(elementary::cbrt(low_price_cube(f, x))));
  return householder_refinement(x, beta, b_max, s0, kMinNormal, s_l,
                                RefinementObjective::ReciprocalLog, elementary::log(beta));
}

// Highest region, b_h < beta < b_max: interpolate the high-price transform on
// [b_h, b_max] and invert it.
double highest_region(double beta, double x, double b_max, double s_h, double b_h) {
  const TransformArguments<double> a = high_price_arguments(x, s_h);
  const Transform<double> t_h =
      high_price_transform(x, s_h, norm_cdf_tail(a.phi), elementary::exp(a.e1), elementary::exp(a.e2));
  const double s0 = -2.0 * inverse_norm_cdf(highest_region_transform(beta, b_max, b_h, t_h));
  const RefinementObjective objective =
      beta <= 0.5 * b_max ? RefinementObjective::Plain : RefinementObjective::LogGap;
  return householder_refinement(x, beta, b_max, s0, s_h, kMaxFinite, objective, 0.0);
}

// The two middle regions, on either side of the central branch point: s
// interpolated against the price, then the plain objective refined inside
// the interval.
double middle_region(double beta, double x, double b_max, double s_c, double b_c, double v_c,
                     double s_2, double b_2, double v_2) {
  const MiddleGuess<double> g = middle_region_guess(beta, beta < b_c, s_c, b_c, v_c, s_2, b_2, v_2);
  return householder_refinement(x, beta, b_max, g.s0, g.s_l, g.s_r, RefinementObjective::Plain,
                                0.0);
}

}  // namespace

double unchecked_normalised_implied_volatility(double beta, double x, bool is_call) {
  // Reduction to an out-of-the-money call: subtract the intrinsic value of an
  // in-the-money option, then use b(x) for a call and b(-x) for a put.
  if (is_call ? x > 0.0 : x < 0.0) {
    double iota = normalised_intrinsic(x);
    if (!is_call) iota = -iota;
    iota = max_num(iota, 0.0);
    beta = max_num(beta - iota, 0.0);
    if (is_call) x = -x;
  } else if (!is_call) {
    x = -x;
  }

  if (beta <= 0.0) return 0.0;
  const double b_max = elementary::exp(x * 0.5);
  if (beta >= b_max) return kMaxFinite;
  // A subnormal price has lost the digits the method works with (the lowest
  // region would start from s = 0 and two steps end far from the root): no
  // volatility rather than a wrong one.
  if (beta < kMinNormal) return std::numeric_limits<double>::quiet_NaN();

  // Central branch point: the inflexion point of b in s.
  const double s_c = central_branch_point(x);
  const auto [b_c, v_c] = normalised_black_and_vega(x, s_c);

  if (beta < b_c) {
    const double s_l = lower_branch_point(s_c, b_c, v_c);
    const auto [b_l, v_l] = normalised_black_and_vega(x, s_l);
    if (beta < b_l) return lowest_region(beta, x, b_max, s_l, b_l);
    return middle_region(beta, x, b_max, s_c, b_c, v_c, s_l, b_l, v_l);
  }

  const double s_h = upper_branch_point(s_c, b_c, v_c, b_max);
  const auto [b_h, v_h] = normalised_black_and_vega(x, s_h);
  if (beta > b_h) return highest_region(beta, x, b_max, s_h, b_h);
  return middle_region(beta, x, b_max, s_c, b_c, v_c, s_h, b_h, v_h);
}

}  // namespace tarvik::rational
