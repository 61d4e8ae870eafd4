// The Black-76 sensitivities and the terms they share.
#include "black/terms.hpp"
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

Result<double> delta(double forward, double strike, double maturity, double volatility,
                     bool is_call) {
  return scalar_sensitivity<sensitivity::Delta>(forward, strike, maturity, volatility, is_call);
}
Result<double> gamma(double forward, double strike, double maturity, double volatility) {
  return scalar_sensitivity<sensitivity::Gamma>(forward, strike, maturity, volatility);
}
Result<double> vega(double forward, double strike, double maturity, double volatility) {
  return scalar_sensitivity<sensitivity::Vega>(forward, strike, maturity, volatility);
}
Result<double> theta(double forward, double strike, double maturity, double volatility) {
  return scalar_sensitivity<sensitivity::Theta>(forward, strike, maturity, volatility);
}
Result<double> vanna(double forward, double strike, double maturity, double volatility) {
  return scalar_sensitivity<sensitivity::Vanna>(forward, strike, maturity, volatility);
}
Result<double> vomma(double forward, double strike, double maturity, double volatility) {
  return scalar_sensitivity<sensitivity::Vomma>(forward, strike, maturity, volatility);
}

}  // namespace tarvik
