// The validating front ends of the normal model over the formulas of
// bachelier/kernel.hpp.
#include "tarvik/bachelier.hpp"

#include <cmath>

#include "bachelier/kernel.hpp"
#include "black/terms.hpp"
#include "tarvik/black.hpp"

namespace tarvik {

namespace {

// The checks of every price and sensitivity, then the shared terms.
Result<bachelier::Terms<double>> valid_terms(double forward, double strike, double maturity,
                                             double volatility) {
  if (!std::isfinite(forward) || !std::isfinite(strike) || !std::isfinite(maturity) ||
      !std::isfinite(volatility)) {
    return IVError::invalid_input("non-finite Bachelier input");
  }
  if (maturity <= 0.0) return IVError::negative_time(maturity);
  if (Status err = require_volatility(volatility)) return *err;
  if (!std::isfinite(forward - strike)) {
    return IVError::invalid_input("forward minus strike overflows");
  }
  return bachelier::Terms<double>::of(forward, strike, maturity, volatility);
}

template <class Formula>
Result<double> evaluate(double forward, double strike, double maturity, double volatility,
                        Formula formula) {
  const auto t = valid_terms(forward, strike, maturity, volatility);
  if (!t) return t.error();
  return formula(t.value());
}

}  // namespace

Result<double> bachelier_price(double forward, double strike, double maturity, double volatility,
                               bool is_call) {
  return evaluate(forward, strike, maturity, volatility,
                  [&](const auto& t) { return bachelier::price(t, is_call); });
}

Result<double> bachelier_delta(double forward, double strike, double maturity, double volatility,
                               bool is_call) {
  return evaluate(forward, strike, maturity, volatility,
                  [&](const auto& t) { return bachelier::delta(t, is_call); });
}

Result<double> bachelier_gamma(double forward, double strike, double maturity, double volatility) {
  return evaluate(forward, strike, maturity, volatility,
                  [](const auto& t) { return bachelier::gamma(t); });
}

Result<double> bachelier_vega(double forward, double strike, double maturity, double volatility) {
  return evaluate(forward, strike, maturity, volatility,
                  [](const auto& t) { return bachelier::vega(t); });
}

Result<double> bachelier_theta(double forward, double strike, double maturity, double volatility) {
  return evaluate(forward, strike, maturity, volatility,
                  [](const auto& t) { return bachelier::theta(t); });
}

Result<double> bachelier_vanna(double forward, double strike, double maturity, double volatility) {
  return evaluate(forward, strike, maturity, volatility,
                  [](const auto& t) { return bachelier::vanna(t); });
}

Result<double> bachelier_vomma(double forward, double strike, double maturity, double volatility) {
  return evaluate(forward, strike, maturity, volatility,
                  [](const auto& t) { return bachelier::vomma(t); });
}

Result<BachelierGreeks> bachelier_greeks(double forward, double strike, double maturity,
                                         double volatility, bool is_call) {
  const auto terms = valid_terms(forward, strike, maturity, volatility);
  if (!terms) return terms.error();
  const bachelier::Terms<double>& t = terms.value();
  return BachelierGreeks{.price = bachelier::price(t, is_call),
                         .delta = bachelier::delta(t, is_call),
                         .gamma = bachelier::gamma(t),
                         .vega = bachelier::vega(t),
                         .theta = bachelier::theta(t),
                         .vanna = bachelier::vanna(t),
                         .vomma = bachelier::vomma(t)};
}

namespace bachelier {

// The checks of the implied volatility, then either its value where it needs
// no inversion (written to `value`) or the time value v > 0, a = |F - K| and
// sqrt(T) of an inversion.
Status prepare_inversion(double price, double forward, double strike, double maturity, bool is_call,
                         Inversion& out) {
  if (!std::isfinite(price) || !std::isfinite(forward) || !std::isfinite(strike) ||
      !std::isfinite(maturity)) {
    return IVError::invalid_input("non-finite implied-volatility input");
  }
  if (maturity <= 0.0) return IVError::negative_time(maturity);
  const double m = forward - strike;
  if (!std::isfinite(m)) return IVError::invalid_input("forward minus strike overflows");
  const double x = is_call ? m : -m;
  const double intrinsic = x > 0.0 ? x : 0.0;
  if (price < intrinsic) return IVError::price_below_intrinsic(price, intrinsic);
  out.sqrt_maturity = std::sqrt(maturity);
  if (price == intrinsic) {
    out.done = true;
    out.value = 0.0;
    return std::nullopt;
  }
  out.time_value = price - intrinsic;
  out.distance = std::fabs(x);
  out.done = is_direct(out.time_value, out.distance);
  if (out.done)
    out.value = direct_total_volatility(out.time_value, out.distance) / out.sqrt_maturity;
  return std::nullopt;
}

}  // namespace bachelier

Result<double> bachelier_implied_volatility(double price, double forward, double strike,
                                            double maturity, bool is_call) {
  bachelier::Inversion in;
  if (Status err = bachelier::prepare_inversion(price, forward, strike, maturity, is_call, in)) {
    return *err;
  }
  if (in.done) return in.value;
  const double v = in.time_value, a = in.distance;
  const double r = v / a;
  if (r >= bachelier::kNearMin) return bachelier::near_volatility(v, a, in.sqrt_maturity);
  return bachelier::far_volatility(bachelier::log_ratio(v, a, r), a, maturity);
}

}  // namespace tarvik
