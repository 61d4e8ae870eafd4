// The Black-76 prices. A price is its plan (price_plans.hpp) priced at once;
// the batch kernels price the same plans in runs.
#include "tarvik/black.hpp"

#include "black/price_plans.hpp"
#include "black/terms.hpp"

namespace tarvik {

Result<double> black_price(double forward, double strike, double maturity, double volatility,
                           bool is_call) {
  const Result<BlackPricePlan> plan = plan_black_price(
      forward, strike, maturity, volatility, is_call, BlackLogs::of(forward, strike, maturity));
  if (!plan) return plan.error();
  return plan.value().price();
}

double black_price_total_vol(double forward, double strike, double total_vol, bool is_call) {
  return BlackPricePlan::make(forward, strike, total_vol, is_call).price();
}

}  // namespace tarvik
