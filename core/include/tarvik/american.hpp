// American options in the spot model (continuous rate r, dividend yield q):
// the early-exercise boundary as the fixed point of the integral equation of
// Kim (1990), Jacka (1991) and Carr, Jarrow and Myneni (1992), solved as
// Andersen, Lake and Offengenden, "High-performance American option pricing",
// J. Comput. Finance 20(1), 2016 do; the price is the European price plus the
// early-exercise premium. Calls through the put-call symmetry of McDonald and
// Schroder (1998): C(S, K, T, r, q) = P(K, S, T, q, r).
#pragma once

#include "tarvik/errors.hpp"

namespace tarvik {

// The discretisation: Chebyshev nodes of the boundary, the most sweeps of
// the boundary iteration, Gauss-Legendre points of the boundary integrals,
// points of the premium integral's tanh-sinh rule, the weighted move in
// ln B below which the sweeps stop, and the fixed-point form (0: FP-B after
// a coarse stage on eight boundary points, falling back to FP-A where FP-B
// does not settle; 1: FP-A only; 2: FP-B only; both from the QD+ start).
struct AmericanScheme {
  int nodes;
  int iterations;
  int boundary_points;
  int price_points;
  double tolerance;
  int form;
};

// The default scheme of an option (the tiers of american/tiers.hpp).
const AmericanScheme& american_default_scheme(double maturity, double rate, double dividend,
                                              double volatility, bool is_call);
// The largest counts american_price_with accepts.
inline constexpr int kAmericanMaxNodes = 128;
inline constexpr int kAmericanMaxPoints = 512;

// Whether early exercise is never optimal, so that the American price is the
// European one: a put when r <= 0 and q >= r, a call when q <= 0 and r >= q
// (the running gain of exercising, r K - q S for a put and q S - r K for a
// call, is then never positive where exercise pays).
bool american_is_european(double rate, double dividend, bool is_call);

// The discounted American price, with the checks of black_scholes_price.
// Where the exercise region has two boundaries (a put with q < r < 0, a call
// with r < q < 0) both are solved from their joint integral equation
// (J. Healy, "Pricing American options under negative rates", J. Comput.
// Finance 25(1), 2021); no_convergence where their solution does not settle.
// A put with r = 0 and q < 0 (a call on a stock without dividends at a
// negative rate) has one boundary.
Result<double> american_price(double spot, double strike, double maturity, double rate,
                              double dividend, double volatility, bool is_call);
Result<double> american_price_with(const AmericanScheme& scheme, double spot, double strike,
                                   double maturity, double rate, double dividend, double volatility,
                                   bool is_call);

// The price and the Greeks of black_scholes_greeks (theta = dV/dt per year).
// Delta and gamma differentiate the premium integral on the boundary, theta
// follows from the Black-Scholes equation where the option is held (0 where
// it is exercised at once); vega, vanna, vomma, rho and dividend rho are
// central differences of prices (of deltas for vanna) with Richardson's
// extrapolation, one-sided where the stencil would cross into another regime
// (European, one boundary or two). The European Greeks bit for bit where early
// exercise never pays. At zero volatility only the price is given, the
// sensitivities NaN.
struct AmericanGreeks {
  double price, delta, gamma, vega, theta, vanna, vomma, rho, dividend_rho;
};
Result<AmericanGreeks> american_greeks(double spot, double strike, double maturity, double rate,
                                       double dividend, double volatility, bool is_call);
// black_scholes_price and black_scholes_greeks as one record: the American
// and the cash-dividend Greeks where they are the European ones.
Result<AmericanGreeks> black_scholes_record(double spot, double strike, double maturity,
                                            double rate, double dividend, double volatility,
                                            bool is_call);

// The volatility whose American price is `price`: price_below_intrinsic
// below the lowest attainable price (the exercise value, or the zero-volatility
// value where waiting pays without volatility), 0.0 at it, price_above_maximum
// at or above the limit as volatility grows (the strike for a put, the spot for
// a call).
Result<double> american_implied_volatility(double price, double spot, double strike,
                                           double maturity, double rate, double dividend,
                                           bool is_call);

}  // namespace tarvik
