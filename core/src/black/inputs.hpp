// The input checks every Black-76, spot-model and implied-volatility
// operation starts with, each reporting its first failure (the callers order
// them), and the spot model's forward.
#pragma once

#include <cmath>

#include "tarvik/errors.hpp"

namespace tarvik {

// strike > 0, then maturity > 0 (zero is rejected, as the messages say).
inline Status require_positive_strike_maturity(double strike, double maturity) {
  if (strike <= 0.0) return IVError::negative_strike(strike);
  if (maturity <= 0.0) return IVError::negative_time(maturity);
  return std::nullopt;
}

// forward > 0, then strike and maturity.
inline Status require_positive(double forward, double strike, double maturity) {
  if (forward <= 0.0) return IVError::negative_forward(forward);
  return require_positive_strike_maturity(strike, maturity);
}

// sigma >= 0; negative zero passes.
inline Status require_volatility(double volatility) {
  if (volatility < 0.0) return IVError::invalid_input("volatility must be non-negative");
  return std::nullopt;
}

// The Black-76 checks in order: all of F, K, T, sigma finite; F, K, T
// positive; sigma non-negative.
inline Status validate_black_inputs(double forward, double strike, double maturity,
                                    double volatility) {
  if (!std::isfinite(forward) || !std::isfinite(strike) || !std::isfinite(maturity) ||
      !std::isfinite(volatility)) {
    return IVError::invalid_input("non-finite Black input");
  }
  if (Status err = require_positive(forward, strike, maturity)) return err;
  return require_volatility(volatility);
}

// Whether validate_black_inputs passes, as one branch-free expression (for
// loops the compiler runs in vector lanes): every comparison is false for NaN.
// Always inlined, also into the lane paths built for wider targets.
[[gnu::always_inline]] inline bool black_inputs_valid(double forward, double strike,
                                                      double maturity, double volatility) {
  constexpr double kInf = __builtin_inf();
  return (forward > 0.0) & (forward < kInf) & (strike > 0.0) & (strike < kInf) & (maturity > 0.0) &
         (maturity < kInf) & (volatility >= 0.0) & (volatility < kInf);
}

// The spot-side checks every spot-model operation starts with: spot, rate
// and dividend finite ("non-finite Black-Scholes input"), then the spot
// positive.
Status require_spot_inputs(double spot, double rate, double dividend);

// F = S exp(T (r - q)), or InvalidInput with `reason` where it overflows to
// +inf or underflows to +0 (with r - q finite and T > 0 it is never NaN).
Result<double> spot_forward(double spot, double maturity, double rate, double dividend,
                            const char* reason);

}  // namespace tarvik
