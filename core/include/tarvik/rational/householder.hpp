// The refinement stage of the implied-volatility solver: at most two
// third-order Householder steps on one of three objective functions of the
// normalised Black price, with bisection of a bracket when the derivatives
// cannot be trusted. Also the normalised vega that the initial guess shares.
#pragma once

namespace tarvik::rational {

// db/ds of the normalised Black price b(x, s):
//   exp(-((x/s)^2 + (s/2)^2)/2) / sqrt(2 pi).
// 0 for x != 0 and s <= |x| 2^-511 (where (x/s)^2 would overflow); for x = 0
// the exponent is formed as s*(s*(-1/8)) for every s.
double normalised_vega(double x, double s);

// b(x, s) and normalised_vega(x, s), bit for bit, from one exponential where
// the normalised Black function forms the vega's Gaussian factor anyway.
struct BlackAndVega {
  double b;
  double vega;
};
BlackAndVega normalised_black_and_vega(double x, double s);

// The function g(s) whose root the refinement seeks (b = b(x, s)):
enum class RefinementObjective {
  ReciprocalLog,  // 1/ln b - 1/ln beta: for prices far below the branch points
  Plain,          // b - beta: the two middle regions, and high prices up to b_max/2
  LogGap,         // ln((b_max - beta)/(b_max - b)): prices above b_max/2
};

// Improves s0 by at most two steps, keeping [s_left, s_right] (s_right may be
// the largest double) around the root. A step no larger than eps*s ends the
// iteration; a second step that starts outside the bracket restarts from its
// midpoint. ln_beta = log(beta) is read by ReciprocalLog only.
double householder_refinement(double x, double beta, double b_max, double s0, double s_left,
                              double s_right, RefinementObjective objective, double ln_beta);

}  // namespace tarvik::rational
