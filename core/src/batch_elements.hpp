// The element computations of the batch kernels: each applies one scalar
// core operation to the picked inputs and turns a rejection into the quiet
// NaN. Calling the scalar operation itself (rather than a copy of its
// formulas) makes a batch element equal the scalar result bit for bit, with
// NaN in exactly the cases where the scalar operation returns an error. The
// prices make the plan the scalar price is made of and leave its erfc calls
// and pricing to the batch driver.
#pragma once

#include "batch_driver.hpp"
#include "price_plans.hpp"
#include "tarvik/black.hpp"
#include "tarvik/black_scholes.hpp"
#include "tarvik/greeks.hpp"
#include "tarvik/implied_volatility.hpp"

namespace tarvik::batch {

// A price plan, or for a rejected input a plan whose price is the NaN.
template <class Plan>
inline Plan plan_or_rejected(const Result<Plan>& r) {
  return r.ok() ? r.value() : Plan::fixed(kRejected);
}

struct BlackPrice {
  using Plan = BlackPricePlan;
  bool is_call;
  Plan plan(double forward, double strike, double maturity, double vol) const {
    return plan_or_rejected(plan_black_price(is_call, forward, strike, maturity, vol));
  }
};

struct BlackScholesPrice {
  using Plan = BlackScholesPricePlan;
  bool is_call;
  Plan plan(double spot, double strike, double maturity, double rate, double dividend,
            double vol) const {
    return plan_or_rejected(
        plan_black_scholes_price(is_call, spot, strike, maturity, rate, dividend, vol));
  }
};

struct ImpliedVolatility {
  bool is_call;
  double operator()(double price, double forward, double strike, double maturity) const {
    return value_or_rejected(implied_volatility(price, forward, strike, maturity, is_call));
  }
};

struct NormalisedImpliedVolatility {
  bool is_call;
  double operator()(double beta, double x) const {
    return value_or_rejected(normalised_implied_volatility(beta, x, is_call));
  }
};

struct Delta {
  bool is_call;
  double operator()(double forward, double strike, double maturity, double vol) const {
    return value_or_rejected(delta(is_call, forward, strike, maturity, vol));
  }
};

// The option-type-free sensitivities share one shape: a scalar operation of
// (forward, strike, maturity, vol).
template <Result<double> (*Sensitivity)(double, double, double, double)>
struct BlackSensitivity {
  double operator()(double forward, double strike, double maturity, double vol) const {
    return value_or_rejected(Sensitivity(forward, strike, maturity, vol));
  }
};

using Gamma = BlackSensitivity<gamma>;
using Vega = BlackSensitivity<vega>;
using Vanna = BlackSensitivity<vanna>;
using Vomma = BlackSensitivity<vomma>;

}  // namespace tarvik::batch
