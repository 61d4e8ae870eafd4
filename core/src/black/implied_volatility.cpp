// The validating front ends of the solver: bounds in the caller's units,
// normalisation, and the solver's answer checked or passed on.
#include "tarvik/elementary.hpp"
#include "tarvik/implied_volatility.hpp"

#include <cmath>

#include "black/front_end.hpp"
#include "black/normalised_black.hpp"
#include "black/solver.hpp"
#include "black/terms.hpp"
#include "tarvik/black.hpp"
#include "tarvik/black_scholes.hpp"
#include "tarvik/numeric.hpp"

namespace tarvik {

namespace {

// The volatility of a normalised price beta = P/(sqrt(F) sqrt(K)) within its
// bounds, at log-moneyness x.
Result<double> volatility_of(double beta, double x, double maturity, bool is_call) {
  const double s = rational::unchecked_normalised_implied_volatility(beta, x, is_call);
  if (rational::inversion_failed(s)) return IVError::no_convergence(rational::kRefinementSteps);
  return rational::volatility_of_total(s, maturity);
}

// The checks of a Black-76 inversion in price units, then the normalised
// solver at the log-moneyness `moneyness(F, K)`.
template <class Moneyness>
Result<double> black_inversion(double price, double forward, double strike, double maturity,
                               bool is_call, Moneyness moneyness) {
  if (!std::isfinite(price) || !std::isfinite(forward) || !std::isfinite(strike) ||
      !std::isfinite(maturity)) {
    return IVError::invalid_input("non-finite implied-volatility input");
  }
  if (Status err = require_positive(forward, strike, maturity)) return *err;

  const double intrinsic = rational::intrinsic_value(is_call, forward, strike);
  const double maximum = rational::maximum_value(is_call, forward, strike);
  if (price < intrinsic) return IVError::price_below_intrinsic(price, intrinsic);
  if (price >= maximum) return IVError::price_above_maximum(price, maximum);

  return volatility_of(rational::normalised_price(price, forward, strike),
                       moneyness(forward, strike), maturity, is_call);
}

}  // namespace

Result<double> implied_volatility(double price, double forward, double strike, double maturity,
                                  bool is_call) {
  return black_inversion(price, forward, strike, maturity, is_call, log_moneyness);
}

Result<double> black_implied_volatility(double price, double forward, double strike,
                                        double maturity, bool is_call) {
  return black_inversion(price, forward, strike, maturity, is_call, accurate_log_moneyness);
}

Result<double> black_scholes_implied_volatility(double price, double spot, double strike,
                                                double maturity, double rate, double dividend,
                                                bool is_call) {
  if (Status err = require_spot_inputs(spot, rate, dividend)) return *err;
  if (!std::isfinite(price) || !std::isfinite(strike) || !std::isfinite(maturity)) {
    return IVError::invalid_input("non-finite implied-volatility input");
  }
  if (Status err = require_positive_strike_maturity(strike, maturity)) return *err;
  const Result<double> forward_result = spot_forward(
      spot, maturity, rate, dividend, "non-finite or non-positive forward from spot/rates");
  if (!forward_result) return forward_result.error();
  const double forward = forward_result.value();
  const double d_r = elementary::exp(-(rate * maturity));
  const double d_q = elementary::exp(-(dividend * maturity));
  if (!std::isfinite(d_r) || !std::isfinite(d_q)) {
    return IVError::invalid_input("non-finite discount factors");
  }
  // A price discounted to nothing carries no volatility.
  if (d_r == 0.0) return IVError::invalid_input("rate discount factor underflows to 0");

  // The bounds in the caller's discounted units: the discounted spot S D_q
  // and strike K D_r.
  const double spot_value = spot * d_q;
  const double strike_value = strike * d_r;
  const double intrinsic = rational::intrinsic_value(is_call, spot_value, strike_value);
  const double maximum = rational::maximum_value(is_call, spot_value, strike_value);
  if (price < intrinsic) return IVError::price_below_intrinsic(price, intrinsic);
  if (price >= maximum) return IVError::price_above_maximum(price, maximum);

  // The undiscounted Black-76 price on the forward; one that rounding moved
  // onto its undiscounted maximum fails to converge.
  // x = ln(S/K) + (r - q)T from its two exact-as-can-be terms: no rounding
  // of the forward S e^((r-q)T) enters it.
  const double x = accurate_log_moneyness(spot, strike) + maturity * (rate - dividend);
  return volatility_of(rational::normalised_price(price / d_r, forward, strike), x, maturity,
                       is_call);
}

Result<double> normalised_implied_volatility(double beta, double x, bool is_call) {
  if (!std::isfinite(beta) || !std::isfinite(x)) {
    return IVError::invalid_input("non-finite normalised input");
  }
  double intrinsic = 0.0;
  if (is_call && x > 0.0) {
    intrinsic = max_num(rational::normalised_intrinsic(x), 0.0);
  } else if (!is_call && x < 0.0) {
    intrinsic = max_num(-rational::normalised_intrinsic(x), 0.0);
  }
  if (beta < intrinsic) return IVError::price_below_intrinsic(beta, intrinsic);
  const double maximum = elementary::exp(rational::normalised_maximum_exponent(is_call, x));
  if (beta >= maximum) return IVError::price_above_maximum(beta, maximum);
  return rational::unchecked_normalised_implied_volatility(beta, x, is_call);
}

}  // namespace tarvik
