// The element computations of the batch kernels, one per operation: a
// kernel is batch::run<Op>. Each applies a scalar operation of the core to
// element i of every input (its doubles in parameter order, then the option
// type where it has one), so a batch element equals the scalar result bit for
// bit, with NaN exactly where the scalar operation reports an error.
//
// An Op offers kInputs (the number of value inputs), kOptionType (whether it
// takes is_call), kWork (the cost of an element, for the size of the pieces
// a parallel batch is cut into) and element(values..., is_call) ->
// Result<double>. A staged
// Op (the prices) also offers a Plan: plan_or_rejected(...) makes it, and the
// batch driver evaluates the plans of a run before their erfc calls.
#pragma once

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "tarvik/batch.hpp"
#include "tarvik/black.hpp"
#include "tarvik/black_scholes.hpp"
#include "tarvik/detail/price_plans.hpp"
#include "tarvik/greeks.hpp"
#include "tarvik/implied_volatility.hpp"
#include "tarvik/normal.hpp"

namespace tarvik::ops {

// A scalar operation of doubles, with or without a trailing is_call,
// returning a double or a Result<double>.
template <auto F, class Signature = decltype(F)>
struct Each;

template <auto F, class R, class... A>
struct Each<F, R (*)(A...)> {
  static constexpr bool kOptionType = std::is_same_v<std::tuple_element_t<sizeof...(A) - 1,
                                                                          std::tuple<A...>>,
                                                     bool>;
  static constexpr std::size_t kInputs = sizeof...(A) - (kOptionType ? 1 : 0);
  // The cost of an element, in elements of the cheapest operations.
  static constexpr std::size_t kWork = 1;

  template <class... V>
  static Result<double> element(V... v) {
    return call(std::tuple<V...>(v...), std::make_index_sequence<kInputs>{});
  }

 private:
  template <class T, std::size_t... I>
  static Result<double> call(const T& args, std::index_sequence<I...>) {
    if constexpr (kOptionType) {
      return F(std::get<I>(args)..., std::get<kInputs>(args));
    } else {
      return F(std::get<I>(args)...);
    }
  }
};

// A price plan, or for a rejected input a plan whose price is the NaN.
template <class Plan>
inline Plan plan_or_rejected(const Result<Plan>& r) {
  return r.ok() ? r.value() : Plan::fixed(batch::kRejected);
}

struct BlackPrice : Each<&black_price> {
  using Plan = BlackPricePlan;
  using Erfcs = ErfcPair;
  static Plan plan_or_rejected(double forward, double strike, double maturity, double vol,
                               bool is_call) {
    return ops::plan_or_rejected(plan_black_price(forward, strike, maturity, vol, is_call));
  }
};

struct BlackScholesPrice : Each<&black_scholes_price> {
  using Plan = BlackScholesPricePlan;
  using Erfcs = ErfcPair;
  static Plan plan_or_rejected(double spot, double strike, double maturity, double rate,
                               double dividend, double vol, bool is_call) {
    return ops::plan_or_rejected(
        plan_black_scholes_price(spot, strike, maturity, rate, dividend, vol, is_call));
  }
};

using NormPdf = Each<&norm_pdf>;
using NormCdf = Each<&norm_cdf>;
using NormCdfC = Each<&norm_cdf_c>;
// An inversion costs some eight prices.
template <auto F>
struct Inversion : Each<F> {
  static constexpr std::size_t kWork = 8;
};

using ImpliedVolatility = Inversion<&implied_volatility>;
using NormalisedImpliedVolatility = Inversion<&normalised_implied_volatility>;
using Delta = Each<&delta>;
using Gamma = Each<&gamma>;
using Vega = Each<&vega>;
using Theta = Each<&theta>;
using Vomma = Each<&vomma>;
using Vanna = Each<&vanna>;
using BlackScholesDelta = Each<&black_scholes_delta>;
using BlackScholesGamma = Each<&black_scholes_gamma>;
using BlackScholesVega = Each<&black_scholes_vega>;
using BlackScholesTheta = Each<&black_scholes_theta>;
using BlackScholesVomma = Each<&black_scholes_vomma>;
using BlackScholesVanna = Each<&black_scholes_vanna>;
using BlackScholesRho = Each<&black_scholes_rho>;
using BlackScholesDividendRho = Each<&black_scholes_dividend_rho>;
using BlackScholesImpliedVolatility = Inversion<&black_scholes_implied_volatility>;

}  // namespace tarvik::ops
