// The terms the Black-76 sensitivities share.
#include "tarvik/greeks.hpp"

namespace tarvik {

double zero_volatility_delta(double x, bool is_call) {
  if (x > 0.0) return is_call ? 1.0 : 0.0;
  if (x == 0.0) return is_call ? 0.5 : -0.5;
  return is_call ? 0.0 : -1.0;
}

Result<BlackTerms> BlackTerms::make(double forward, double strike, double maturity,
                                    double volatility, const BlackLogs& logs) {
  if (Status err = validate_black_inputs(forward, strike, maturity, volatility)) return *err;
  const double sqrt_t = logs.sqrt_maturity;
  const double s = volatility * sqrt_t;
  const double x = logs.moneyness();
  // Zero volatility, or a product that underflows: the price is the
  // intrinsic value and d1, d2 are undefined.
  const double d1 = s == 0.0 ? 0.0 : black_d1(x, s);
  return BlackTerms{.forward = forward,
                    .x = x,
                    .d1 = d1,
                    .d2 = d1 - s,
                    .total_vol = s,
                    .sqrt_maturity = sqrt_t,
                    .volatility = volatility};
}

}  // namespace tarvik
