// The search for the volatility at which a price that grows with volatility
// meets its target, for the models without a closed-form inversion (American
// exercise, cash dividends): Newton's step from a start with a known slope,
// then the secant through the last two points, bisection whenever a step
// leaves the bracket, and doubling while no price above the target is known.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "tarvik/elementary.hpp"
#include "tarvik/errors.hpp"

namespace tarvik::search {

inline constexpr double kMaxVolatility = 100.0;
inline constexpr int kMaxEvaluations = 100;

// The least upper bound of an option's price over all volatilities, which
// no price reaches: the strike's present value at T for a put, the spot's
// (e^{-q T} S) for a call, where exercise waits for expiry; with early
// exercise, at least the strike (a put) or the spot (a call) itself, which
// an exercise at once takes where the rate (the yield) is positive, and
// which waiting grows where it is negative (K e^{-r T} > K for r < 0).
inline double price_limit(double spot, double strike, double maturity, double rate,
                          double dividend, bool is_call, bool american) {
  const double grown = is_call ? spot * elementary::exp(-(dividend * maturity))
                               : strike * elementary::exp(-(rate * maturity));
  if (!american) return grown;
  return std::max(grown, is_call ? spot : strike);
}

// How a search steps and when it stops, beyond its defaults.
struct Rule {
  // A start close from either side: below the target with no upper end
  // known yet, Newton's step from a known slope and then the secant through
  // the last two points go up, each at most a doubling (else the volatility
  // doubles).
  bool close_start = false;
  // Stop at |excess| <= settled (the price's own noise, where known).
  double settled = 0.0;
  // Where the price's noise is not known in advance but may reach `noisy`
  // (> 0): also stop once the best |excess| is within it and a step fails
  // to cut it by a factor of 4 (free of noise the steps there cut it by
  // orders of magnitude: the excess is all but linear); the best point is
  // then the answer.
  double noisy = 0.0;
  // Newton's and the secant's steps on ln(price - floor) against 1 / vol^2
  // rather than on the price against vol: deep in the money a price leaves
  // its floor like e^{-c / vol^2}, down whose convex slope the secant on the
  // price creeps by a factor of some two a step (on a seeded set of American
  // puts with dividends, 17 to 20 prices where the floor was within 1e-5 of
  // the price; 5 to 6 on the logarithm).
  bool deep = false;
  // Where a price fails (NaN), a step back a quarter of the way from the
  // highest volatility known below the target, with no slope, at most this
  // many times, the later steps staying below the failed volatility (half
  // way to it at most); else the search ends there. For prices that fail
  // at a volatility far above the one sought (an American solver over a
  // long life at the European volatility) and cost little to fail; not
  // where a failed price has spent the search's allowance of work (with
  // cash dividends: a put's volatility took 4.7 s, not 0.4, to fail so).
  int retreats = 0;
};

// excess(vol) = price(vol) - target (NaN where the price fails), with
// excess(0) = floor_excess < 0; `start` > 0 and its slope d excess / d vol
// (0 where none is known). Stops as `rule` says, or once a step moves the
// volatility by at most 1e-13 of it, or the bracket is 1e-14 of its upper end.
template <class Excess>
Result<double> volatility(Excess excess, double floor_excess, double start, double slope,
                          const Rule& rule = {}) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  // The value the steps are taken on, and the steps' roots (NaN: none, to
  // bisection; +inf: above every volatility, to doubling).
  const double gap = -floor_excess;
  const auto stepped = [&](double f) {
    if (!rule.deep) return f;
    return f > floor_excess ? elementary::log1p(f / gap) : -kInf;
  };
  const auto from_u = [](double u) { return u > 0.0 ? 1.0 / std::sqrt(u) : kInf; };
  const auto newton = [&](double x, double f, double g, double s) {
    if (!rule.deep) return x - g / s;
    if (!std::isfinite(g)) return kNaN;
    // d ln(price - floor) / d(1 / vol^2) = s / (price - floor) * (-vol^3 / 2)
    return from_u(1.0 / (x * x) - g / (s / (f + gap) * (-0.5 * (x * x * x))));
  };
  const auto secant = [&](double x0, double g0, double x1, double g1) {
    if (!rule.deep) return x1 - g1 * (x1 - x0) / (g1 - g0);
    if (!(std::isfinite(g0) && std::isfinite(g1) && x0 > 0.0)) return kNaN;
    const double u0 = 1.0 / (x0 * x0), u1 = 1.0 / (x1 * x1);
    return from_u(u1 - g1 * (u1 - u0) / (g1 - g0));
  };
  double lo = 0.0;
  double hi = kInf;
  double x = start;
  double prev_x = lo;
  double prev_g = stepped(floor_excess);
  double best_x = x;
  double best_f = kInf;
  // The least volatility whose price failed (rule.retreats).
  double cap = kInf;
  int retreats = 0;
  for (int evaluation = 0; evaluation < kMaxEvaluations; ++evaluation) {
    const double f = excess(x);
    if (std::isnan(f)) {
      if (retreats == rule.retreats || !(x > lo)) {
        return IVError::no_convergence(static_cast<std::uint32_t>(evaluation + 1));
      }
      ++retreats;
      cap = std::min(cap, x);
      slope = 0.0;
      x = lo + 0.25 * (x - lo);
      continue;
    }
    if (f == 0.0 || std::fabs(f) <= rule.settled) return x;
    if (best_f <= rule.noisy && !(4.0 * std::fabs(f) < best_f)) {
      return std::fabs(f) < best_f ? x : best_x;
    }
    if (std::fabs(f) < best_f) {
      best_x = x;
      best_f = std::fabs(f);
    }
    if (f < 0.0) {
      lo = x;
    } else {
      hi = x;
    }
    const double g = stepped(f);
    if (!std::isfinite(hi)) {
      // Still below the price: grow the volatility.
      if (x >= kMaxVolatility) {
        return IVError::no_convergence(static_cast<std::uint32_t>(evaluation + 1));
      }
      const double doubled = std::min(x + x, kMaxVolatility);
      double up = doubled;
      if (rule.close_start && slope > 0.0) {
        up = newton(x, f, g, slope);
        slope = 0.0;
      } else if (rule.close_start && evaluation > 0 && g > prev_g) {
        up = secant(prev_x, prev_g, x, g);
      }
      prev_x = x;
      prev_g = g;
      x = up > x ? std::min(up, doubled) : doubled;
      if (x >= cap) x = 0.5 * (prev_x + cap);
      continue;
    }
    double next;
    if (slope > 0.0) {
      next = newton(x, f, g, slope);
      slope = 0.0;
    } else {
      next = secant(prev_x, prev_g, x, g);
    }
    if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
    prev_x = x;
    prev_g = g;
    if (std::fabs(next - x) <= 1e-13 * x || hi - lo <= 1e-14 * hi) return next;
    x = next;
  }
  return IVError::no_convergence(kMaxEvaluations);
}

}  // namespace tarvik::search
