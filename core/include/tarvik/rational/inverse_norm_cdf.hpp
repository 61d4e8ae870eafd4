// The inverse of the standard normal distribution function.
#pragma once

namespace tarvik::rational {

// The deviate z with Phi(z) = u, by Wichura's AS 241 (PPND16, Applied
// Statistics 37, 1988): a rational function of degree 7 in the central
// interval |u - 0.5| <= 0.425 and two more in sqrt(-log(tail probability)).
// Ends: -inf at u = 0 (and -0), +inf at u = 1, NaN outside [0, 1] and for NaN.
double inverse_norm_cdf(double u);

}  // namespace tarvik::rational
