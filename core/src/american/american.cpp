// American prices and implied volatilities: the European price of
// black_scholes_price plus the early-exercise premium on the boundary of
// boundary.cpp, calls as puts with spot and strike, rate and yield swapped.
#include <algorithm>
#include <cmath>
#include <limits>

#include "boundary.hpp"
#include "tarvik/american.hpp"
#include "tarvik/black_scholes.hpp"
#include "tarvik/greeks.hpp"
#include "tarvik/implied_volatility.hpp"

namespace tarvik {

namespace {

using american::Boundary;
using american::PutProblem;
using american::ThetaRule;

const ThetaRule& cached_rule(int size) {
  // The default scheme's two rules, built once.
  static const ThetaRule* boundary_rule = [] {
    auto* r = new ThetaRule;
    american::make_theta_rule(kAmericanScheme.boundary_points, *r);
    return r;
  }();
  static const ThetaRule* price_rule = [] {
    auto* r = new ThetaRule;
    american::make_theta_rule(kAmericanScheme.price_points, *r);
    return r;
  }();
  return size == kAmericanScheme.boundary_points ? *boundary_rule : *price_rule;
}

bool is_cached(int size) {
  return size == kAmericanScheme.boundary_points || size == kAmericanScheme.price_points;
}

// The put in exercise form: who pays the strike, who the spot.
struct PutForm {
  double spot;
  double strike;
  double rate;
  double dividend;
};

PutForm put_form(double spot, double strike, double rate, double dividend, bool is_call) {
  if (is_call) return PutForm{strike, spot, dividend, rate};
  return PutForm{spot, strike, rate, dividend};
}

// Zero volatility: the best of stopping at 0, at T, or where the discounted
// gain K e^{-r t} - S e^{-q t} is stationary, t* = ln(q S / (r K)) / (q - r).
double deterministic_value(const PutForm& f, double maturity) {
  auto gain = [&](double t) {
    return f.strike * std::exp(-(f.rate * t)) - f.spot * std::exp(-(f.dividend * t));
  };
  double best = std::max(0.0, std::max(f.strike - f.spot, gain(maturity)));
  if (f.dividend != f.rate && f.dividend > 0.0) {
    const double t = std::log((f.dividend * f.spot) / (f.rate * f.strike)) / (f.dividend - f.rate);
    if (t > 0.0 && t < maturity) best = std::max(best, gain(t));
  }
  return best;
}

}  // namespace

bool american_is_european(double rate, double dividend, bool is_call) {
  const PutForm f = put_form(1.0, 1.0, rate, dividend, is_call);
  return f.rate <= 0.0 && f.dividend >= f.rate;
}

Result<double> american_price_with(const AmericanScheme& scheme, double spot, double strike,
                                   double maturity, double rate, double dividend, double volatility,
                                   bool is_call) {
  const Result<double> european =
      black_scholes_price(spot, strike, maturity, rate, dividend, volatility, is_call);
  if (!european) return european;
  if (american_is_european(rate, dividend, is_call)) return european;
  const PutForm f = put_form(spot, strike, rate, dividend, is_call);
  if (f.rate <= 0.0) {
    return IVError::invalid_input(
        is_call ? "American call with r < q <= 0 has two exercise boundaries (not supported)"
                : "American put with q < r <= 0 has two exercise boundaries (not supported)");
  }
  if (scheme.nodes < 2 || scheme.nodes > kAmericanMaxNodes || scheme.iterations < 0 ||
      scheme.boundary_points < 1 || scheme.boundary_points > kAmericanMaxPoints ||
      scheme.price_points < 1 || scheme.price_points > kAmericanMaxPoints) {
    return IVError::invalid_input("American scheme counts out of range");
  }
  const double exercise = std::max(f.strike - f.spot, 0.0);
  if (volatility == 0.0) return std::max(european.value(), deterministic_value(f, maturity));

  const double start = f.dividend > 0.0 ? std::min(1.0, f.rate / f.dividend) : 1.0;
  const PutProblem p{maturity, f.rate, f.dividend, volatility, start, std::log(start)};
  ThetaRule local_boundary_rule;
  ThetaRule local_price_rule;
  const ThetaRule* boundary_rule = &local_boundary_rule;
  const ThetaRule* price_rule = &local_price_rule;
  if (is_cached(scheme.boundary_points)) {
    boundary_rule = &cached_rule(scheme.boundary_points);
  } else {
    american::make_theta_rule(scheme.boundary_points, local_boundary_rule);
  }
  if (is_cached(scheme.price_points)) {
    price_rule = &cached_rule(scheme.price_points);
  } else {
    american::make_theta_rule(scheme.price_points, local_price_rule);
  }
  Boundary boundary;
  american::solve_boundary(p, scheme, *boundary_rule, boundary);
  const double s = f.spot / f.strike;
  const double log_s = std::log(s);
  // At or below today's boundary B(T) = X exp(-sqrt(H(1))): exercise now.
  if (log_s <= p.log_start - std::sqrt(boundary.h[0])) return exercise;
  const double premium = f.strike * american::put_premium(p, boundary, *price_rule, s);
  const double value = european.value() + premium;
  if (!std::isfinite(value)) return IVError::invalid_input("non-finite American price");
  return std::max(value, exercise);
}

Result<double> american_price(double spot, double strike, double maturity, double rate,
                              double dividend, double volatility, bool is_call) {
  return american_price_with(kAmericanScheme, spot, strike, maturity, rate, dividend, volatility,
                             is_call);
}

Result<double> american_implied_volatility(double price, double spot, double strike,
                                           double maturity, double rate, double dividend,
                                           bool is_call) {
  if (american_is_european(rate, dividend, is_call)) {
    return black_scholes_implied_volatility(price, spot, strike, maturity, rate, dividend, is_call);
  }
  // The lowest attainable price, with every input check of the pricer.
  const Result<double> floor = american_price(spot, strike, maturity, rate, dividend, 0.0, is_call);
  if (!floor) return floor;
  if (!std::isfinite(price)) return IVError::invalid_input("non-finite implied-volatility input");
  if (price < floor.value()) return IVError::price_below_intrinsic(price, floor.value());
  if (price == floor.value()) return 0.0;
  const double limit = is_call ? spot : strike;
  if (price >= limit) return IVError::price_above_maximum(price, limit);

  auto excess = [&](double vol) -> double {
    const Result<double> v = american_price(spot, strike, maturity, rate, dividend, vol, is_call);
    return v ? v.value() - price : std::numeric_limits<double>::quiet_NaN();
  };
  // Bracket [lo, hi] with excess(lo) < 0 <= excess(hi). The European
  // volatility of the same price is an upper end: American >= European.
  constexpr double kMaxVolatility = 100.0;
  constexpr int kMaxEvaluations = 100;
  double lo = 0.0;
  double f_lo = floor.value() - price;
  double hi = std::numeric_limits<double>::infinity();
  double f_hi = 0.0;
  double x = 0.0;
  double slope = 0.0;
  const Result<double> european_vol =
      black_scholes_implied_volatility(price, spot, strike, maturity, rate, dividend, is_call);
  if (european_vol && european_vol.value() > 0.0 && std::isfinite(european_vol.value())) {
    x = std::min(european_vol.value(), kMaxVolatility);
    const Result<double> vega = black_scholes_vega(spot, strike, maturity, rate, dividend, x);
    if (vega && vega.value() > 0.0) slope = vega.value();
  } else {
    x = 1.0;
  }
  double prev_x = lo;
  double prev_f = f_lo;
  for (int evaluation = 0; evaluation < kMaxEvaluations; ++evaluation) {
    const double f = excess(x);
    if (std::isnan(f)) return IVError::no_convergence(evaluation + 1);
    if (f == 0.0) return x;
    if (f < 0.0) {
      lo = x;
      f_lo = f;
    } else {
      hi = x;
      f_hi = f;
    }
    if (!std::isfinite(hi)) {
      // Still below the price: grow the volatility.
      if (x >= kMaxVolatility) return IVError::no_convergence(evaluation + 1);
      prev_x = x;
      prev_f = f;
      x = std::min(x + x, kMaxVolatility);
      continue;
    }
    // Newton on the first step (European vega), then the secant through the
    // last two points; bisection whenever the step leaves the bracket.
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
  (void)f_hi;
  return IVError::no_convergence(kMaxEvaluations);
}

}  // namespace tarvik
