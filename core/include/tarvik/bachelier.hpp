// The normal (Bachelier) model of an undiscounted European option on a
// forward: the price (F - K) Phi(d) + s phi(d) of a call, d = (F - K)/s,
// s = sigma sqrt(T), its put by symmetry, the sensitivities, and the implied
// normal volatility. Forwards and strikes may be any finite reals, negative
// included; the volatility is in price units per square root of a year.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tarvik/errors.hpp"

namespace tarvik {

// The checks, in order: F, K, T and sigma finite and F - K finite
// (InvalidInput), T > 0 (NegativeTime), sigma >= 0 (InvalidInput). Zero
// volatility gives the intrinsic value and the zero-volatility sensitivities.
Result<double> bachelier_price(double forward, double strike, double maturity, double volatility,
                               bool is_call);

// The implied normal volatility of a price: the checks of the price on the
// price, F, K and T, then a price below the intrinsic value max(F - K, 0)
// (a put: max(K - F, 0)) is PriceBelowIntrinsic and a price equal to it is 0.
// There is no upper bound. Closed form: a rational starting point and one
// Halley step, no iteration.
Result<double> bachelier_implied_volatility(double price, double forward, double strike,
                                            double maturity, bool is_call);

// dV/dF; the checks of bachelier_price.
Result<double> bachelier_delta(double forward, double strike, double maturity, double volatility,
                               bool is_call);
// d2V/dF2.
Result<double> bachelier_gamma(double forward, double strike, double maturity, double volatility);
// dV/dsigma.
Result<double> bachelier_vega(double forward, double strike, double maturity, double volatility);
// -dV/dT, per year.
Result<double> bachelier_theta(double forward, double strike, double maturity, double volatility);
// d2V/dFdsigma.
Result<double> bachelier_vanna(double forward, double strike, double maturity, double volatility);
// d2V/dsigma2.
Result<double> bachelier_vomma(double forward, double strike, double maturity, double volatility);

// The price and the six sensitivities of one option in one pass over shared
// terms, each field bit for bit the value of its own function.
struct BachelierGreeks {
  double price, delta, gamma, vega, theta, vanna, vomma;
};
Result<BachelierGreeks> bachelier_greeks(double forward, double strike, double maturity,
                                         double volatility, bool is_call);

}  // namespace tarvik
