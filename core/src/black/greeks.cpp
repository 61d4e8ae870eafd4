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
  const double s = volatility * logs.sqrt_maturity;
  const double x = logs.moneyness();
  return of(forward, x, s, logs.sqrt_maturity, volatility, black_d1(x, s));
}

}  // namespace tarvik
