// The American put whose exercise region has two boundaries: q < r < 0
// (calls with r < q < 0 through the symmetry of McDonald and Schroder).
// Private to the American pricer.
//
// J. Healy, "Pricing American options under negative rates", J. Comput.
// Finance 25(1), 2021 (arXiv:2109.15157). In strike units, at time to expiry
// tau the put is exercised on Y(tau) <= S <= B(tau): B starts at 1 and falls
// like 1 - sigma sqrt(tau ln(1/tau)) (the gain r - q S of holding the
// exercised position is positive at S = 1, as for r > q > 0), Y starts at
// r / q, below which that gain changes sign, and rises like sqrt(tau). They
// meet at tau*; beyond it no exercise pays. Measured on the solutions (free
// spans E < tau* at 24 to 64 nodes), the gap ln B - ln Y closes linearly in
// tau* - tau over the last tenth of tau* (its slope constant to 1%), and the
// spans within a few parts in 1000 of tau* no longer converge in the node
// count: the boundaries meet at an angle, smooth before tau* but not
// analytic at it.
//
// Both boundaries are stored on one set of Chebyshev nodes in theta, with
// tau = E sin^4(theta), theta in [0, pi/2]: (tau / E)^(1/4) = sin(theta),
// the single-boundary scheme's variable near tau = 0, with the nodes packed
// towards both ends (where those nodes fail to settle at low volatility,
// E over 1000 times sigma^2 / (r - q - sigma^2 / 2)^2, the steep map of
// double_boundary.cpp spreads them in ln tau instead). E is T where the
// region outlives T / (1 - 5%), else
// (1 - 5%) tau* to 2e-3 of itself (a layout, which any span near it serves
// as well): the nodes then stay clear of tau*, and over [E, tau*] the
// boundaries are the lines through their values and slopes at E (over
// that sliver the region is a few percent of its first width wide). Stored
// as H_B = (ln B)^2 and H_Y = (ln Y - ln(r/q))^2, which are zero at tau = 0.
#pragma once

#include "american/boundary.hpp"
#include "tarvik/american.hpp"
#include "tarvik/errors.hpp"

namespace tarvik::american {

// The counts of a two-boundary solve: nodes in theta, Gauss-Legendre points
// of the boundary integrals, tanh-sinh points of the premium, the most
// sweeps and the move below which they stop.
struct TwoBoundaryCounts {
  int nodes;
  int points;
  int price_points;
  int iterations;
  double tolerance;
};

// The solved boundaries of a put with strike 1: on the nodes over [0, E],
// and past E (where they meet before T / (1 - 5%)) the lines through their
// values and slopes at E, which meet at tau*.
struct TwoBoundaries {
  int nodes = 0;
  double end = 0.0;      // E
  bool meet = false;     // whether tau* <= T
  double meet_time = 0.0;  // tau*, infinite where the nodes span T
  double log_low = 0.0;  // ln(r / q), -infinity where r = 0 (then Y = 0)
  double map_a = 0.0;    // the nodes' steep map's A, 0 for the plain map
  double h_up[kAmericanMaxNodes + 1];   // (ln B)^2 at x_i = cos(i pi / n)
  double h_low[kAmericanMaxNodes + 1];  // (ln Y - ln(r/q))^2
  double up_end = 0.0, low_end = 0.0;      // ln B(E), ln Y(E)
  double up_slope = 0.0, low_slope = 0.0;  // their slopes in tau at E
  int sweeps = 0;
  bool converged = false;
  double residual = 0.0;  // the map's largest weighted move at the midpoints
};

// The boundaries of the put with strike 1 (rate, dividend the put's),
// q < r <= 0; Y = 0 throughout where r = 0 or without_low.
void solve_two_boundaries(double maturity, double rate, double dividend, double volatility,
                          const TwoBoundaryCounts& counts, TwoBoundaries& b,
                          bool without_low = false);

// ln B and ln Y at tau in [0, E] on a solved pair (for the tests).
void two_boundary_at(const TwoBoundaries& b, double tau, double& log_up, double& log_low);

// The price of the option whose put form has q < r < 0, at a volatility
// above 0 (the caller answers zero volatility): the European price
// `european` (the put form's, so that a call and its mirrored put agree to
// the bit) plus the premium over the region between the boundaries, with
// delta and gamma in the option's own spot where `slopes` is given. The
// counts are the scheme's where they are finer than the default ones.
Result<double> two_boundary_price(const AmericanScheme& scheme, double spot, double strike,
                                  double maturity, double rate, double dividend, double volatility,
                                  bool is_call, double european, SpotSlopes* slopes);

}  // namespace tarvik::american
