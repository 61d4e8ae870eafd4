// The validating front ends of the solver: bounds in the caller's units,
// normalisation, and the solver's answer checked or passed on.
#include "tarvik/implied_volatility.hpp"

#include <cmath>

#include "tarvik/black.hpp"
#include "tarvik/numeric.hpp"
#include "tarvik/rational/normalised_black.hpp"
#include "tarvik/rational/solver.hpp"

namespace tarvik {

Result<double> implied_volatility(double price, double forward, double strike,
                                  double maturity, bool is_call) {
  if (!std::isfinite(price) || !std::isfinite(forward) || !std::isfinite(strike) ||
      !std::isfinite(maturity)) {
    return IVError::invalid_input("non-finite implied-volatility input");
  }
  if (Status err = require_positive(forward, strike, maturity)) return *err;

  const double intrinsic = max_num(is_call ? forward - strike : strike - forward, 0.0);
  const double maximum = is_call ? forward : strike;
  if (price < intrinsic) return IVError::price_below_intrinsic(price, intrinsic);
  if (price >= maximum) return IVError::price_above_maximum(price, maximum);

  const double beta = price / (std::sqrt(forward) * std::sqrt(strike));
  const double s =
      rational::unchecked_normalised_implied_volatility(beta, log_moneyness(forward, strike), is_call);
  // The solver answers a price that rounding put at its maximum with the
  // largest double; that, or any non-finite value, is a failed inversion.
  if (s == kMaxFinite || !std::isfinite(s)) return IVError::no_convergence(kRefinementSteps);
  return max_num(s / std::sqrt(maturity), 0.0);
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
  const double maximum = std::exp(x * (is_call ? 0.5 : -0.5));
  if (beta >= maximum) return IVError::price_above_maximum(beta, maximum);
  return rational::unchecked_normalised_implied_volatility(beta, x, is_call);
}

}  // namespace tarvik
