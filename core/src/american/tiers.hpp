// The default American schemes: the tiers american_default_scheme picks
// from by the shape of the option's exercise boundary; and a price that
// reports the sweeps its boundary took, for the tiers' tests and the scheme
// benchmark.
#pragma once

#include "tarvik/american.hpp"

namespace tarvik {

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
// Two exercise boundaries (q < r < 0) where the variance leads a steep
// boundary: their solver has its own node map and counts
// (american/double_boundary.cpp), which a tier can only raise, and the 64
// nodes above, chosen for one boundary's map, only spent its bounded work
// (38 of 4,000 seeded two-boundary options were refused at them, after
// some 0.1 s, that its own counts price). Any tier below those counts in
// every field serves.
inline constexpr AmericanScheme kAmericanSchemeTwoBoundaries = kAmericanSchemeShortCarry;

// The sweeps of an American price's boundary solve: the coarse stage's and
// the full one's (0 where there was none: early exercise never pays, or the
// spot is past the boundary's reach).
struct AmericanSweeps {
  int coarse = 0;
  int fine = 0;
};
// american_price_with, and the sweeps it took.
Result<double> american_price_counted(const AmericanScheme& scheme, double spot, double strike,
                                      double maturity, double rate, double dividend,
                                      double volatility, bool is_call, AmericanSweeps& sweeps);

}  // namespace tarvik
