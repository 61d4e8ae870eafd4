// The batch operations, one per batch function: a kernel is batch::run<Op>
// (batch.hpp). Each applies a scalar operation of the core to element i of
// every input (its doubles in parameter order, then the option type where it
// has one), so a batch element equals the scalar result bit for bit, with
// NaN exactly where the scalar operation reports an error.
//
// An Op offers kInputs (the number of value inputs), kOptionType (whether it
// takes is_call), kWork (the cost of an element, for the size of the pieces
// a parallel batch is cut into and for whether a caller lets other threads
// run meanwhile), Prepared (what a batch computes once) and
// element(prepared, values..., is_call) -> Result<double>. Most are Each<&f>
// of a scalar function f; the core runs some in stages or vector lanes
// instead (its own business: the bits stay f's). A new operation is one line
// here and one line in the core's list of kernels (core/src/batch/kernels.cpp),
// without which a caller's kernel is an undefined symbol.
#pragma once

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

#include "black/terms.hpp"
#include "tarvik/american.hpp"
#include "tarvik/bachelier.hpp"
#include "tarvik/black.hpp"
#include "tarvik/black_scholes.hpp"
#include "tarvik/dividends.hpp"
#include "tarvik/greeks.hpp"
#include "tarvik/implied_volatility.hpp"
#include "tarvik/normal.hpp"
#include "tarvik/quotes.hpp"

namespace tarvik::ops {

// Nothing computed once per batch.
struct NoPreparation {
  template <class In>
  explicit NoPreparation(const In&) {}
};

// A scalar operation of doubles, with or without a trailing is_call,
// returning a double or a Result<double>.
template <auto F, class Signature = decltype(F)>
struct Each;

template <auto F, class R, class... A>
struct Each<F, R (*)(A...)> {
  static constexpr bool kOptionType =
      std::is_same_v<std::tuple_element_t<sizeof...(A) - 1, std::tuple<A...>>, bool>;
  static constexpr std::size_t kInputs = sizeof...(A) - (kOptionType ? 1 : 0);
  // The cost of an element, in elements of the cheapest operations.
  static constexpr std::size_t kWork = 1;
  using Prepared = NoPreparation;

  template <class... V>
  static Result<double> element(const Prepared&, V... v) {
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

using NormPdf = Each<&norm_pdf>;
using NormCdf = Each<&norm_cdf>;
using NormCdfC = Each<&norm_cdf_c>;
// An inversion costs some eight prices.
template <auto F>
struct Inversion : Each<F> {
  static constexpr std::size_t kWork = 8;
};

// The Black-76 prices, sensitivities and inversions, whose elements the
// core evaluates in stages and vector lanes over runs of elements (with the
// logarithms of a broadcast input taken once): each element still the named
// scalar function's bits.
struct BlackPrice : Each<&black_price> {};
struct BlackScholesPrice : Each<&black_scholes_price> {};
struct ImpliedVolatility : Inversion<&implied_volatility> {};
struct NormalisedImpliedVolatility : Inversion<&normalised_implied_volatility> {};
struct BlackImpliedVolatility : Inversion<&black_implied_volatility> {};
struct Delta : Each<&delta> {};
struct Gamma : Each<&gamma> {};
struct Vega : Each<&vega> {};
struct Theta : Each<&theta> {};
struct Vomma : Each<&vomma> {};
struct Vanna : Each<&vanna> {};
using BlackScholesDelta = Each<&black_scholes_delta>;
using BlackScholesGamma = Each<&black_scholes_gamma>;
using BlackScholesVega = Each<&black_scholes_vega>;
using BlackScholesTheta = Each<&black_scholes_theta>;
using BlackScholesVomma = Each<&black_scholes_vomma>;
using BlackScholesVanna = Each<&black_scholes_vanna>;
using BlackScholesRho = Each<&black_scholes_rho>;
using BlackScholesDividendRho = Each<&black_scholes_dividend_rho>;
using BlackScholesImpliedVolatility = Inversion<&black_scholes_implied_volatility>;

// The normal model: each element the scalar function's own call.
using BachelierPrice = Each<&bachelier_price>;
using BachelierDelta = Each<&bachelier_delta>;
using BachelierGamma = Each<&bachelier_gamma>;
using BachelierVega = Each<&bachelier_vega>;
using BachelierTheta = Each<&bachelier_theta>;
using BachelierVanna = Each<&bachelier_vanna>;
using BachelierVomma = Each<&bachelier_vomma>;
// One rational starting point and one Halley step: some two prices.
struct BachelierImpliedVolatility : Each<&bachelier_implied_volatility> {
  static constexpr std::size_t kWork = 2;
};

// Cash dividends: a scalar operation whose last parameter is the schedule,
// the batch's own (Inputs::schedule()), shared by every element.
template <auto F, std::size_t Work, class Signature = decltype(F)>
struct WithSchedule;

template <auto F, std::size_t Work, class R, class... A>
struct WithSchedule<F, Work, R (*)(A...)> {
  static constexpr bool kOptionType = true;
  static constexpr bool kSchedule = true;
  static constexpr std::size_t kInputs = sizeof...(A) - 2;
  static constexpr std::size_t kWork = Work;
  struct Prepared {
    DividendSchedule schedule;
    template <class In>
    explicit Prepared(const In& in) : schedule(in.schedule()) {}
  };
  template <class... V>
  static Result<double> element(const Prepared& p, V... v) {
    return F(v..., p.schedule);
  }
};
// Some 0.1 to 1 ms a price with a few dividends; an inversion some five.
// An American price without dividends solves the exercise boundary first,
// one to two milliseconds, some 32,768 cheap elements, so every element is
// a piece of its own; its inversion some four prices.
struct AmericanPrice : WithSchedule<&american_price_with_dividends, 32768> {};
struct AmericanImpliedVolatility
    : WithSchedule<&american_implied_volatility_with_dividends, 131072> {};
struct EuropeanPrice : WithSchedule<&european_price, 8192> {};
struct EuropeanImpliedVolatility : WithSchedule<&european_implied_volatility, 40960> {};

// From quotes to the models' inputs: discount factors, undiscounted prices,
// discounted thetas and the spot model's forwards.
using DiscountFactor = Each<&discount_factor>;
using UndiscountedPrice = Each<&undiscounted_price>;
using DiscountedTheta = Each<&discounted_theta>;
using BlackScholesForward = Each<&black_scholes_forward>;

// The operations whose element is a record of fields (the price and each
// sensitivity), written by batch::run_fields into one output array per
// field. Each field has the bits of its single-quantity operation, NaN
// exactly where that one has NaN.
template <std::size_t Inputs, std::size_t Fields, std::size_t Work>
struct Record {
  static constexpr bool kOptionType = true;
  static constexpr std::size_t kInputs = Inputs;
  static constexpr std::size_t kFields = Fields;
  static constexpr std::size_t kWork = Work;
};
// Black-76: price, delta, gamma, vega, theta, vanna, vomma.
struct BlackGreeks : Record<4, 7, 3> {};
// The spot model: price, delta, gamma, vega, theta, vanna, vomma, rho,
// dividend_rho.
struct BlackScholesGreeks : Record<6, 9, 4> {};
// The normal model: price, delta, gamma, vega, theta, vanna, vomma.
struct BachelierGreeks : Record<4, 7, 3> {};
// American exercise: price and the Greeks of the spot model, one boundary
// for price, delta, gamma and theta, twelve more prices for the others.
struct AmericanGreeks : Record<6, 9, 13 * 32768> {
  static constexpr bool kSchedule = true;
};
// Cash dividends: the same fields, from one recursion for price, delta,
// gamma and theta and twelve more prices for the others.
struct EuropeanGreeks : Record<6, 9, 13 * 8192> {
  static constexpr bool kSchedule = true;
};

}  // namespace tarvik::ops
