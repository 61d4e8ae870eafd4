// The standard normal quantile, scalar: the interval of u picks one
// rational part of inverse_norm_cdf.hpp.
#include "special/inverse_norm_cdf.hpp"
#include "tarvik/elementary.hpp"

#include <cmath>

namespace tarvik::rational {

double inverse_norm_cdf(double u) {
  if (u <= 0.0) return elementary::log(u);         // -inf at 0, NaN below
  if (u >= 1.0) return -elementary::log(1.0 - u);  // +inf at 1, NaN above
  const double q = u + -0.5;
  if (std::fabs(q) <= kWichuraSplit1) return inverse_norm_cdf_central(q);
  // Tails (and NaN): work with the smaller tail probability and restore the
  // sign of q at the end.
  const double p = q < 0.0 ? u : 1.0 - u;
  const double r = std::sqrt(-elementary::log(p));
  const double v =
      r < kWichuraSplit2 ? inverse_norm_cdf_near_tail(r) : inverse_norm_cdf_far_tail(r);
  return q < 0.0 ? -v : v;
}

}  // namespace tarvik::rational
