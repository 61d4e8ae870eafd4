// The undiscounted Black-76 price of a European option on a forward, the
// checks every pricing operation starts with, the intrinsic value and the
// log-moneyness.
#pragma once

#include <cmath>

#include "tarvik/errors.hpp"

namespace tarvik {

// ---- Input checks, shared by the Black-76, spot-model and implied-volatility
// operations. Each reports its first failure; the callers order them.

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

// ---- The terms of the Black formula.

// ln F - ln K, as two logarithms and a difference (never the logarithm of
// the ratio). No input is rejected: a zero gives an infinity, a negative NaN.
inline double log_moneyness(double forward, double strike) {
  return std::log(forward) - std::log(strike);
}

// ln(F/K) as accurately as F and K allow (within about an ulp of the
// exact value, where log_moneyness loses up to some eight ulps of ln F near
// the money). Where K/2 <= F <= 2K the difference F - K is exact (Sterbenz)
// and log1p((F - K)/K) rounds only the quotient; elsewhere |ln(F/K)| > ln 2
// and the logarithm of the ratio is as good; a ratio that overflows or
// underflows falls back on the two logarithms. The inversions added after
// the first release use it; the original functions keep log_moneyness.
inline double accurate_log_moneyness(double forward, double strike) {
  if (forward >= 0.5 * strike && forward <= strike + strike) {
    return std::log1p((forward - strike) / strike);
  }
  const double ratio = forward / strike;
  if (ratio >= 0x1p-1022 && ratio <= 0x1.fffffffffffffp+1023) return std::log(ratio);
  return log_moneyness(forward, strike);
}

// The logarithms and the square root that the Black-76 formulas take of
// their inputs. A batch takes each of a broadcast input once; a scalar call
// takes them of its own inputs (of(), before any check: the checks look at
// the inputs themselves, and a NaN here is never used).
struct BlackLogs {
  double ln_forward;
  double ln_strike;
  double sqrt_maturity;

  static BlackLogs of(double forward, double strike, double maturity) {
    return {std::log(forward), std::log(strike), std::sqrt(maturity)};
  }
  // ln F - ln K.
  double moneyness() const { return ln_forward - ln_strike; }
};

// d1 = (x + s*(s*0.5)) / s, in exactly that order; d2 = d1 - s. Always
// inlined, also into the lane paths built for wider targets.
[[gnu::always_inline]] inline double black_d1(double x, double total_vol) {
  return (x + total_vol * (total_vol * 0.5)) / total_vol;
}

// ---- Prices.

// Validated price from a volatility and a maturity: the checks above, then
// black_price_total_vol at s = sigma*sqrt(T).
Result<double> black_price(double forward, double strike, double maturity, double volatility,
                           bool is_call);

// Unvalidated price from the total volatility s = sigma*sqrt(T). NaN for a
// non-finite forward or strike or for s NaN, infinite or negative; the
// intrinsic value for s = 0. The out-of-the-money side is evaluated directly
// and the in-the-money side by put-call parity, so no result comes from
// subtracting two large, nearly equal products, and an out-of-the-money
// price that rounding would leave below zero is +0.
double black_price_total_vol(double forward, double strike, double total_vol, bool is_call);

// max(F - K, 0) for a call, max(K - F, 0) for a put; NaN differences give 0.
inline double black_intrinsic(double forward, double strike, bool is_call) {
  const double d = is_call ? forward - strike : strike - forward;
  return d > 0.0 ? d : 0.0;  // maxNum: NaN, -0 and negatives give +0
}

}  // namespace tarvik
