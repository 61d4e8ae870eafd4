// The undiscounted Black-76 price of a European option on a forward, the
// intrinsic value and the log-moneyness.
#pragma once

#include <cmath>

#include "tarvik/elementary.hpp"
#include "tarvik/errors.hpp"

namespace tarvik {

// ---- The terms of the Black formula.

// ln F - ln K, as two logarithms and a difference (never the logarithm of
// the ratio). No input is rejected: a zero gives an infinity, a negative NaN.
inline double log_moneyness(double forward, double strike) {
  return elementary::log(forward) - elementary::log(strike);
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
    return elementary::log1p((forward - strike) / strike);
  }
  const double ratio = forward / strike;
  if (ratio >= 0x1p-1022 && ratio <= 0x1.fffffffffffffp+1023) return elementary::log(ratio);
  return log_moneyness(forward, strike);
}

// ---- Prices.

// Validated price from a volatility and a maturity: F, K, T, sigma finite;
// F, K, T positive; sigma non-negative (IVError in that order); then
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
