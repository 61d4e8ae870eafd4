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
// (0 where none is known). Below the target with no upper end known yet, the
// volatility doubles; with `close_start` (a start close from either side),
// Newton's step from a known slope and then the secant through the last two
// points go up instead, each at most a doubling. Stops at |excess| <=
// `settled` (the price's own noise), or once a step moves the volatility by
// at most 1e-13 of it, or the bracket is 1e-14 of its upper end.
template <class Excess>
Result<double> volatility(Excess excess, double floor_excess, double start, double slope,
                          bool close_start = false, double settled = 0.0) {
  double lo = 0.0;
  double hi = std::numeric_limits<double>::infinity();
  double x = start;
  double prev_x = lo;
  double prev_f = floor_excess;
  for (int evaluation = 0; evaluation < kMaxEvaluations; ++evaluation) {
    const double f = excess(x);
    if (std::isnan(f)) return IVError::no_convergence(static_cast<std::uint32_t>(evaluation + 1));
    if (f == 0.0 || std::fabs(f) <= settled) return x;
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
      const double doubled = std::min(x + x, kMaxVolatility);
      double up = doubled;
      if (close_start && slope > 0.0) {
        up = x - f / slope;
        slope = 0.0;
      } else if (close_start && evaluation > 0 && f > prev_f) {
        up = x - f * (x - prev_x) / (f - prev_f);
      }
      prev_x = x;
      prev_f = f;
      x = up > x ? std::min(up, doubled) : doubled;
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
