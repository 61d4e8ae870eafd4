#include "tarvik/black.hpp"

#include <cmath>
#include <limits>

#include "tarvik/normal.hpp"

namespace tarvik {

namespace {

// An out-of-the-money price is the difference of two products that can both
// be tiny. When the total volatility is so small that d2 rounds to d1, or
// when both products are subnormal, rounding can leave that difference below
// zero; an option price is never negative, so such a result is +0. NaN
// passes through.
double non_negative(double price) { return price < 0.0 ? 0.0 : price; }

}  // namespace

Status validate_black_inputs(double forward, double strike, double maturity,
                             double volatility) {
  if (!std::isfinite(forward) || !std::isfinite(strike) || !std::isfinite(maturity) ||
      !std::isfinite(volatility)) {
    return IVError::invalid_input("non-finite Black input");
  }
  if (forward <= 0.0) return IVError::negative_forward(forward);
  if (strike <= 0.0) return IVError::negative_strike(strike);
  if (maturity <= 0.0) return IVError::negative_time(maturity);
  if (volatility < 0.0) return IVError::invalid_input("volatility must be non-negative");
  return std::nullopt;
}

Result<double> black_price(bool is_call, double forward, double strike,
                           double maturity, double volatility) {
  if (Status err = validate_black_inputs(forward, strike, maturity, volatility)) return *err;
  const double s = volatility * std::sqrt(maturity);
  return black_price_total_vol(is_call, forward, strike, s);
}

double black_price_total_vol(bool is_call, double forward, double strike,
                             double total_vol) {
  const double s = total_vol;
  if (!std::isfinite(forward) || !std::isfinite(strike) || !std::isfinite(s) || s < 0.0) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  if (s == 0.0) return black_intrinsic(forward, strike, is_call);

  const double x = std::log(forward) - std::log(strike);
  const double d1 = (x + s * (s * 0.5)) / s;
  const double d2 = d1 - s;
  if (is_call) {
    if (x < 0.0 || std::isnan(x)) {
      return non_negative(forward * norm_cdf(d1) - strike * norm_cdf(d2));
    }
    return (forward - strike) + (strike * norm_cdf_c(d2) - forward * norm_cdf_c(d1));
  }
  if (x > 0.0 || std::isnan(x)) {
    return non_negative(strike * norm_cdf_c(d2) - forward * norm_cdf_c(d1));
  }
  return (strike - forward) + (forward * norm_cdf(d1) - strike * norm_cdf(d2));
}

double black_intrinsic(double forward, double strike, bool is_call) {
  const double d = is_call ? forward - strike : strike - forward;
  // IEEE maxNum: a NaN difference yields 0; -0 and negatives yield +0.
  return d > 0.0 ? d : 0.0;
}

double log_moneyness(double forward, double strike) {
  return std::log(forward) - std::log(strike);
}

}  // namespace tarvik
