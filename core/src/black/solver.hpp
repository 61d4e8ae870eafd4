// The normalised implied-volatility solver: the total volatility s at which
// the normalised Black price equals a given normalised price, after Jaeckel's
// "Let's Be Rational" (reduction to an out-of-the-money call, a rational
// cubic initial guess in four price regions, at most two Householder steps).
#pragma once

#include <cstdint>

namespace tarvik::rational {

// The solver's fixed number of Householder refinement steps.
inline constexpr std::uint32_t kRefinementSteps = 2;

// Inverts b(x, s) = beta at log-moneyness x for a call or a put, without
// validating anything (x must be finite). Returns 0 for a price at or below
// the intrinsic value and the largest double, 1.7976931348623157e308, for a
// price at or above the maximum exp(-|x|/2) of the reduced out-of-the-money
// call, and NaN for a reduced price below the least normal double (too few
// digits to invert). Never fails.
double unchecked_normalised_implied_volatility(double beta, double x, bool is_call);

}  // namespace tarvik::rational
