// Black-76 sensitivities of the undiscounted price V(F, K, T, sigma):
//   delta = dV/dF, gamma = d2V/dF2, vega = dV/dsigma, theta = -dV/dT,
//   vanna = d2V/dFdsigma, vomma = d2V/dsigma2,
// with the checks of black_price.
#pragma once

#include "tarvik/errors.hpp"

namespace tarvik {

Result<double> delta(double forward, double strike, double maturity, double volatility,
                     bool is_call);
Result<double> gamma(double forward, double strike, double maturity, double volatility);
Result<double> vega(double forward, double strike, double maturity, double volatility);
Result<double> theta(double forward, double strike, double maturity, double volatility);
Result<double> vanna(double forward, double strike, double maturity, double volatility);
Result<double> vomma(double forward, double strike, double maturity, double volatility);

}  // namespace tarvik
