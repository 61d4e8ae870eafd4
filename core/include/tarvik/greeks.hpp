// Black-76 sensitivities: delta, gamma, vega, theta, vanna and vomma of the
// undiscounted price, and BlackTerms, the intermediate terms they share with
// the spot-model sensitivities.
#pragma once

#include <optional>

#include "tarvik/errors.hpp"

namespace tarvik {

struct BlackTerms {
  double forward;        // F as passed in
  double d1;             // black_d1(ln F - ln K, s)
  double d2;             // d1 - s
  double total_vol;      // s = sigma*sqrt(T)
  double sqrt_maturity;  // sqrt(T)
  double volatility;     // sigma as passed in
  double density_d1;     // phi(d1)

  // Validates the inputs like black_price, then computes the terms; no terms
  // (an empty optional) when the total volatility is 0.
  static Result<std::optional<BlackTerms>> make(double forward, double strike,
                                                double maturity, double volatility);
};

// Delta of the zero-volatility price max(F - K, 0) or max(K - F, 0), by the
// sign of x = ln F - ln K: a call 1, 0.5, 0 and a put 0, -0.5, -1 for x > 0,
// x = 0, x < 0 (the at-the-money kink takes half of each side).
double zero_volatility_delta(double forward, double strike, bool is_call);

Result<double> delta(double forward, double strike, double maturity, double volatility,
                     bool is_call);
Result<double> gamma(double forward, double strike, double maturity, double volatility);
Result<double> vega(double forward, double strike, double maturity, double volatility);
Result<double> theta(double forward, double strike, double maturity, double volatility);
Result<double> vanna(double forward, double strike, double maturity, double volatility);
Result<double> vomma(double forward, double strike, double maturity, double volatility);

}  // namespace tarvik
