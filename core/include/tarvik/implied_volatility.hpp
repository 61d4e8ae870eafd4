// The validating front ends of the implied-volatility solver.
#pragma once

#include "tarvik/errors.hpp"

namespace tarvik {

// Black-76 implied volatility of an undiscounted option price.
Result<double> implied_volatility(double price, double forward, double strike,
                                  double maturity, bool is_call);

// Total volatility s for a normalised price beta = price/(sqrt(F)*sqrt(K))
// at log-moneyness x = ln F - ln K.
Result<double> normalised_implied_volatility(double beta, double x, bool is_call);

}  // namespace tarvik
