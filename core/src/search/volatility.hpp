// The search for the volatility at which a price that grows with volatility
// meets its target, for the models without a closed-form inversion (American
// exercise, cash dividends): Newton's step from a start with a known slope,
// then the secant through the last two points, bisection whenever a step
// leaves the bracket, and doubling while no price above the target is known.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "tarvik/errors.hpp"

namespace tarvik::search {

inline constexpr double kMaxVolatility = 100.0;
inline constexpr int kMaxEvaluations = 100;

// excess(vol) = price(vol) - target (NaN where the price fails), with
// excess(0) = floor_excess < 0; `start` > 0 and its slope d excess / d vol
// (0 where none is known). Stops once a step moves the volatility by at most
// 1e-13 of it or the bracket is 1e-14 of its upper end.
template <class Excess>
Result<double> volatility(Excess excess, double floor_excess, double start, double slope) {
  double lo = 0.0;
  double hi = std::numeric_limits<double>::infinity();
  double x = start;
  double prev_x = lo;
  double prev_f = floor_excess;
  for (int evaluation = 0; evaluation < kMaxEvaluations; ++evaluation) {
    const double f = excess(x);
    if (std::isnan(f)) return IVError::no_convergence(static_cast<std::uint32_t>(evaluation + 1));
    if (f == 0.0) return x;
    if (f < 0.0) {
      lo = x;
    } else {
      hi = x;
    }
    if (!std::isfinite(hi)) {
      // Still below the price: grow the volatility.
      if (x >= kMaxVolatility) {
        return IVError::no_convergence(static_cast<std::uint32_t>(evaluation + 1));
      }
      prev_x = x;
      prev_f = f;
      x = std::min(x + x, kMaxVolatility);
      continue;
    }
    double next;
    if (slope > 0.0) {
      next = x - f / slope;
      slope = 0.0;
    } else {
      next = x - f * (x - prev_x) / (f - prev_f);
    }
    if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
    prev_x = x;
    prev_f = f;
    if (std::fabs(next - x) <= 1e-13 * x || hi - lo <= 1e-14 * hi) return next;
    x = next;
  }
  return IVError::no_convergence(kMaxEvaluations);
}

}  // namespace tarvik::search
