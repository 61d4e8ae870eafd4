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

// The default schemes, one per shape of the boundary (in the put's form).
// Where r >= q the boundary starts at K and falls like
// K (1 - sigma sqrt(tau ln(1/tau))); nodes in (tau/T)^(1/4) take it with
// 16 nodes, 28 boundary points where
// r T / sigma^2 < 0.75 and 36 above. Where r T / sigma^2 >= 4 it falls far
// below K over the life (the perpetual boundary K gamma / (gamma - 1) is far out in units of sigma
// sqrt(T)): 18 nodes, 48 boundary points and sweeps to 1e-11. Where r < q it
// starts at X = K r / q and falls like sqrt(tau); the nodes are in sqrt(tau). With rho = ln(q / r)
// / (sigma sqrt(T)): where rho >= 1.3 it keeps that shape over the whole life and 20 nodes take it;
// the closer q is to r, the earlier in the life it turns into the other shape, which takes 32 nodes
// for 0.7 <= rho < 1.3 (24 boundary points below 1), 48 for 0.3 <= rho < 0.7 and 56 below. The
// sweeps stop at 3e-10 where r >= q (1e-11 where r T / sigma^2 >= 4) and, where r < q, at 1e-8 for
// rho >= 0.3 (3e-9 for 1 <= rho < 1.3), 1e-9 below: in each tier the loosest of 1e-11, 3e-11,
// 1e-10, ..., 3e-8 that leaves its worst error within 10% of that of the next tighter one (the next
// looser one raises it by 1.13 to 3.7 times); some 5% fewer instructions over the portfolio than
// 1e-10 to 1e-9. Chosen on the whole 15,552-option portfolio against its converged reference
// (tests/data/american_portfolio_reference.csv), each tier from the errors
// of candidate schemes over its options: worst 6.4e-11 where r >= q and
// r T / sigma^2 < 0.75, 5.9e-11 up to 4, 4.9e-11 above, at most 7e-11 in the r < q tiers
// (7e-11 over the portfolio, RMS 4.8e-12). The premium takes 88 points of its tanh-sinh rule in
// every tier: 80 left the same worst error over the portfolio (RMS 4.70e-12 against 4.69e-12),
// 72 left 4.9e-10 where r < q and 7.5e-11 where r >= q, 64 1e-8.
inline constexpr AmericanScheme kAmericanScheme{16, 64, 36, 88, 3e-10, 0};
inline constexpr AmericanScheme kAmericanSchemeShortCarry{16, 64, 28, 88, 3e-10, 0};
inline constexpr AmericanScheme kAmericanSchemeLongCarry{18, 64, 48, 88, 1e-11, 0};
inline constexpr AmericanScheme kAmericanSchemeHighYield{20, 64, 16, 88, 1e-8, 0};
inline constexpr AmericanScheme kAmericanSchemeUpperYield{32, 64, 20, 88, 3e-9, 0};
inline constexpr AmericanScheme kAmericanSchemeMidYield{32, 64, 24, 88, 1e-8, 0};
inline constexpr AmericanScheme kAmericanSchemeLowYield{48, 64, 32, 88, 1e-8, 0};
inline constexpr AmericanScheme kAmericanSchemeYield{56, 64, 40, 88, 1e-9, 0};
// A steep boundary (one whose own time scale c = 1 / (2 lambda), lambda =
// (r - q - sigma^2 / 2)^2 / (2 sigma^2) + r, is below T / 8: the drift outruns
// the spread, or the variance sigma^2 T is large) takes the nodes in
// asinh((tau / c)^(1 / (2 power))), its integrals split at some 100 c and the
// premium at the spot's drift time to the boundary, whatever the counts; its
// tiers: 32 nodes and 32 boundary points where the drift |r - q| is at least
// sigma^2, 64 and 48 where the variance leads (with sigma^2 / 2 in place of
// sigma^2, a put with |r - q| = 0.017, sigma = 0.167, T = 35.5 took 32 nodes
// and was 8.9e-9 off; 48 nodes 1.8e-11). Over seeded options of the
// whole domain (T to 50 years, sigma 1e-4 to 5, r and q from -0.2 to 0.5)
// against 96 nodes and 256 points, worst 2.0e-10 where the drift leads (571
// options; 24 nodes left 2.5e-8, 32 nodes with 24 points 1.1e-8) and 9.3e-10
// where the variance does (48 options; 32 nodes left 3e-8, 40 4.4e-9, 56 with
// 40 points 1.8e-9).
inline constexpr AmericanScheme kAmericanSchemeSteep{32, 64, 32, 88, 1e-10, 0};
inline constexpr AmericanScheme kAmericanSchemeSteepVariance{64, 64, 48, 88, 1e-10, 0};
// The default scheme of an option.
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

// The volatility whose American price is `price`: price_below_intrinsic
// below the lowest attainable price (the exercise value, or the zero-volatility
// value where waiting pays without volatility), 0.0 at it, price_above_maximum
// at or above the limit as volatility grows (the strike for a put, the spot for
// a call).
Result<double> american_implied_volatility(double price, double spot, double strike,
                                           double maturity, double rate, double dividend,
                                           bool is_call);

}  // namespace tarvik
