// The Black-76 input checks and prices. A price is its plan (price_plans.hpp)
// priced at once; the batch kernels price the same plans in runs.
#include "tarvik/black.hpp"

#include <cmath>

#include "price_plans.hpp"

namespace tarvik {

Status validate_black_inputs(double forward, double strike, double maturity,
                             double volatility) {
  if (!std::isfinite(forward) || !std::isfinite(strike) || !std::isfinite(maturity) ||
      !std::isfinite(volatility)) {
    return IVError::invalid_input("non-finite Black input");
  }
  if (forward <= 0.0) return IVError::negative_forward(forward);
  if (strike <= 0.0) return IVError::negative_strike(strike);
  if (maturity <= 0.0) return IVError::negative_time(maturity);
  if (volatility < 0.0) return IVError::invalid_input("volatility must be non-negative");
  return std::nullopt;
}

Result<double> black_price(bool is_call, double forward, double strike,
                           double maturity, double volatility) {
  const Result<BlackPricePlan> plan =
      plan_black_price(is_call, forward, strike, maturity, volatility);
  if (!plan) return plan.error();
  return plan.value().price();
}

double black_price_total_vol(bool is_call, double forward, double strike,
                             double total_vol) {
  return BlackPricePlan::make(is_call, forward, strike, total_vol).price();
}

double black_intrinsic(double forward, double strike, bool is_call) {
  const double d = is_call ? forward - strike : strike - forward;
  // IEEE maxNum: a NaN difference yields 0; -0 and negatives yield +0.
  return d > 0.0 ? d : 0.0;
}

double log_moneyness(double forward, double strike) {
  return std::log(forward) - std::log(strike);
}

}  // namespace tarvik
