// The validating front ends of the implied-volatility solver.
#pragma once

#include "tarvik/errors.hpp"

namespace tarvik {

// Black-76 implied volatility of an undiscounted option price.
Result<double> implied_volatility(double price, double forward, double strike, double maturity,
                                  bool is_call);

// The same inversion at log-moneyness accurate_log_moneyness(F, K) rather
// than ln F - ln K: as accurate as the solver, end to end.
Result<double> black_implied_volatility(double price, double forward, double strike,
                                        double maturity, bool is_call);

// Black-Scholes-Merton implied volatility of a discounted option price on a
// spot with rate and dividend yield: the spot-model checks, bounds in the
// caller's discounted units (S e^(-qT), K e^(-rT)), then the Black-76 solver
// on the undiscounted price and the forward S e^((r-q)T), at log-moneyness
// ln(S/K) + (r-q)T with ln(S/K) from accurate_log_moneyness.
Result<double> black_scholes_implied_volatility(double price, double spot, double strike,
                                                double maturity, double rate, double dividend,
                                                bool is_call);

// Total volatility s for a normalised price beta = price/(sqrt(F)*sqrt(K))
// at log-moneyness x = ln F - ln K.
Result<double> normalised_implied_volatility(double beta, double x, bool is_call);

}  // namespace tarvik
