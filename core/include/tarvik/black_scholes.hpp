// The spot model with continuous rate r and dividend yield q
// (Black-Scholes-Merton): the forward F = S*exp(T*(r - q)), the discounted
// price and the six sensitivities, built on the Black-76 machinery.
#pragma once

#include "tarvik/errors.hpp"

namespace tarvik {

Result<double> black_scholes_forward(double spot, double maturity, double rate, double dividend);
Result<double> black_scholes_price(double spot, double strike, double maturity, double rate,
                                   double dividend, double volatility, bool is_call);
Result<double> black_scholes_delta(double spot, double strike, double maturity, double rate,
                                   double dividend, double volatility, bool is_call);
Result<double> black_scholes_gamma(double spot, double strike, double maturity, double rate,
                                   double dividend, double volatility);
Result<double> black_scholes_vega(double spot, double strike, double maturity, double rate,
                                  double dividend, double volatility);
Result<double> black_scholes_theta(double spot, double strike, double maturity, double rate,
                                   double dividend, double volatility, bool is_call);
Result<double> black_scholes_vanna(double spot, double strike, double maturity, double rate,
                                   double dividend, double volatility);
Result<double> black_scholes_vomma(double spot, double strike, double maturity, double rate,
                                   double dividend, double volatility);

// rho = dV/dr and the dividend sensitivity dV/dq, per unit of rate or yield
// (1.0, not one percentage point), with the checks of the other sensitivities.
Result<double> black_scholes_rho(double spot, double strike, double maturity, double rate,
                                 double dividend, double volatility, bool is_call);
Result<double> black_scholes_dividend_rho(double spot, double strike, double maturity, double rate,
                                          double dividend, double volatility, bool is_call);

// Every sensitivity above of one input, its terms computed once: each field
// has the bits of its single function (an error of one is an error of all:
// they share their checks).
struct SpotGreeks {
  double delta, gamma, vega, theta, vanna, vomma, rho, dividend_rho;
};
Result<SpotGreeks> black_scholes_greeks(double spot, double strike, double maturity, double rate,
                                        double dividend, double volatility, bool is_call);

}  // namespace tarvik
