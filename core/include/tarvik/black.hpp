// The undiscounted Black-76 price of a European option on a forward, the
// intrinsic value and the log-moneyness.
#pragma once

#include "tarvik/errors.hpp"

namespace tarvik {

// The checks every Black-76 and spot-model operation applies first, in this
// order: all of F, K, T, sigma finite; F > 0; K > 0; T > 0; sigma >= 0
// (negative zero passes). Returns the first failure.
Status validate_black_inputs(double forward, double strike, double maturity,
                             double volatility);

// Validated price from a volatility and a maturity.
Result<double> black_price(bool is_call, double forward, double strike,
                           double maturity, double volatility);

// Unvalidated price from the total volatility s = sigma*sqrt(T). NaN for a
// non-finite forward or strike or for s NaN, infinite or negative; the
// intrinsic value for s = 0. The out-of-the-money side is evaluated directly
// and the in-the-money side by put-call parity, so no result comes from
// subtracting two large, nearly equal products, and an out-of-the-money
// price that rounding would leave below zero is +0.
double black_price_total_vol(bool is_call, double forward, double strike,
                             double total_vol);

// max(F - K, 0) for a call, max(K - F, 0) for a put; NaN differences give 0.
double black_intrinsic(double forward, double strike, bool is_call);

// ln F - ln K, as two logarithms and a difference.
double log_moneyness(double forward, double strike);

}  // namespace tarvik
