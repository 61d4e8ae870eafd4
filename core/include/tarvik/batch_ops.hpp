// The element computations of the batch kernels, one per operation: a
// kernel is batch::run<Op>. Each applies a scalar operation of the core to
// element i of every input (its doubles in parameter order, then the option
// type where it has one), so a batch element equals the scalar result bit for
// bit, with NaN exactly where the scalar operation reports an error.
//
// An Op offers kInputs (the number of value inputs), kOptionType (whether it
// takes is_call), kWork (the cost of an element, for the size of the pieces
// a parallel batch is cut into), Prepared (what a batch computes once, such
// as the logarithm of a broadcast forward) and
// element(prepared, values..., is_call) -> Result<double>. A staged Op (the
// prices) also offers a Plan: plan_or_rejected(prepared, ...) makes it, and
// the batch driver evaluates the plans of a run before their erfc calls.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

#include "tarvik/american.hpp"
#include "tarvik/bachelier.hpp"
#include "tarvik/batch.hpp"
#include "tarvik/black.hpp"
#include "tarvik/black_scholes.hpp"
#include "tarvik/detail/lanes.hpp"
#include "tarvik/detail/price_plans.hpp"
#include "tarvik/greeks.hpp"
#include "tarvik/implied_volatility.hpp"
#include "tarvik/normal.hpp"

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

// The logarithms and square root of a Black-76 batch's forward, strike and
// maturity (inputs 0 to 2), those of a broadcast input taken once: the same
// operation on the same operand, so the same bits.
class HoistedLogs {
 public:
  template <std::size_t N>
  explicit HoistedLogs(const batch::Inputs<N>& in)
      : once_f_(in.broadcast(0)), once_k_(in.broadcast(1)), once_t_(in.broadcast(2)) {
    if (in.size() == 0) return;
    if (once_f_) ln_f_ = std::log(in.value(0, 0));
    if (once_k_) ln_k_ = std::log(in.value(1, 0));
    if (once_t_) sqrt_t_ = std::sqrt(in.value(2, 0));
  }
  BlackLogs at(double forward, double strike, double maturity) const {
    return {once_f_ ? ln_f_ : std::log(forward), once_k_ ? ln_k_ : std::log(strike),
            once_t_ ? sqrt_t_ : std::sqrt(maturity)};
  }
  // The same over a run of n elements, into ln_f, ln_k and sqrt_t.
  void over(const double* forward, const double* strike, const double* maturity, std::size_t n,
            double* ln_f, double* ln_k, double* sqrt_t) const {
    column(once_f_, ln_f_, forward, n, ln_f, [](double v) { return std::log(v); });
    column(once_k_, ln_k_, strike, n, ln_k, [](double v) { return std::log(v); });
    column(once_t_, sqrt_t_, maturity, n, sqrt_t, [](double v) { return std::sqrt(v); });
  }

 private:
  template <class F>
  static void column(bool once, double value, const double* in, std::size_t n, double* out, F f) {
    if (once) {
      std::fill_n(out, n, value);
    } else {
      for (std::size_t j = 0; j < n; ++j) out[j] = f(in[j]);
    }
  }

  bool once_f_, once_k_, once_t_;
  double ln_f_ = 0.0, ln_k_ = 0.0, sqrt_t_ = 0.0;
};

// The Black-76 terms of a run of up to kSize elements, stage by stage over
// arrays: the inputs, their logarithms and square root (HoistedLogs), then,
// in one loop without branches that runs in vector lanes (lanes::black_terms),
// the checks of validate_black_inputs, s = sigma*sqrt(T), x = ln F - ln K and
// d1 = black_d1(x, s). The prices and sensitivities of the run then follow
// from these without a long dependent chain per element. The operations are
// those of the scalar functions on the same operands (d1 is also formed
// where the scalar code does not need it, and left unused there).
struct BlackRun {
  static constexpr std::size_t kSize = batch::kPlanRun;
  double forward[kSize], strike[kSize], maturity[kSize], vol[kSize];
  double ln_f[kSize], ln_k[kSize], sqrt_t[kSize];
  double s[kSize], x[kSize], d1[kSize];
  bool ok[kSize], call[kSize];

  BlackRun(const HoistedLogs& logs, const batch::Inputs<4>& in, std::size_t start, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) {
      forward[j] = in.value(0, start + j);
      strike[j] = in.value(1, start + j);
      maturity[j] = in.value(2, start + j);
      vol[j] = in.value(3, start + j);
      call[j] = in.is_call(start + j);
    }
    logs.over(forward, strike, maturity, n, ln_f, ln_k, sqrt_t);
    // The first n values of every input array are set above; GCC cannot
    // tell through the call and would warn of reading the rest.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
    lanes::black_terms(forward, strike, maturity, vol, ln_f, ln_k, sqrt_t, n, s, x, d1, ok);
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
  }

  BlackTerms terms(std::size_t j) const {
    return BlackTerms::of(forward[j], x[j], s[j], sqrt_t[j], vol[j], d1[j]);
  }
};

// A price plan, or for a rejected input a plan whose price is the NaN.
template <class Plan>
inline Plan plan_or_rejected(const Result<Plan>& r) {
  return r.ok() ? r.value() : Plan::fixed(batch::kRejected);
}

struct BlackPrice {
  static constexpr bool kOptionType = true;
  static constexpr std::size_t kInputs = 4;
  static constexpr std::size_t kWork = 1;
  using Prepared = HoistedLogs;
  using Plan = BlackPricePlan;
  using Erfcs = ErfcPair;
  static Result<BlackPricePlan> plan(const HoistedLogs& logs, double forward, double strike,
                                     double maturity, double vol, bool is_call) {
    return plan_black_price(forward, strike, maturity, vol, is_call,
                            logs.at(forward, strike, maturity));
  }
  // The plans of elements start to start + len: plan_black_price's, from
  // the terms of the run.
  static void make_plans(const HoistedLogs& logs, const batch::Inputs<4>& in, std::size_t start,
                         std::size_t len, Plan* plans) {
    plans_of(BlackRun(logs, in, start, len), len, plans);
  }
  // The plans of the first len elements of a run.
  static void plans_of(const BlackRun& run, std::size_t len, Plan* plans) {
    for (std::size_t j = 0; j < len; ++j) {
      plans[j] = run.ok[j] ? Plan::make_from(run.forward[j], run.strike[j], run.s[j], run.call[j],
                                             [&] { return Plan::MoneynessD1{run.x[j], run.d1[j]}; })
                           : Plan::fixed(batch::kRejected);
    }
  }
  static Result<double> element(const HoistedLogs& logs, double forward, double strike,
                                double maturity, double vol, bool is_call) {
    const Result<BlackPricePlan> p = plan(logs, forward, strike, maturity, vol, is_call);
    if (!p) return p.error();
    return p.value().price();
  }
};

struct BlackScholesPrice : Each<&black_scholes_price> {
  using Plan = BlackScholesPricePlan;
  using Erfcs = ErfcPair;
  static Plan plan_or_rejected(const Prepared&, double spot, double strike, double maturity,
                               double rate, double dividend, double vol, bool is_call) {
    return ops::plan_or_rejected(
        plan_black_scholes_price(spot, strike, maturity, rate, dividend, vol, is_call));
  }
};

// A Black-76 sensitivity of greeks.hpp, with hoisted logarithms; a batch
// evaluates it a run at a time from the terms of the run.
template <class S, bool OptionType>
struct BlackSensitivity {
  static constexpr bool kOptionType = OptionType;
  static constexpr std::size_t kInputs = 4;
  static constexpr std::size_t kWork = 1;
  static constexpr std::size_t kRun = BlackRun::kSize;
  using Prepared = HoistedLogs;
  static Result<double> element(const HoistedLogs& logs, double forward, double strike,
                                double maturity, double vol, bool is_call) {
    return black_sensitivity<S>(forward, strike, maturity, vol, is_call,
                                logs.at(forward, strike, maturity));
  }
  // black_sensitivity<S> of elements start to start + len, or the NaN.
  static void evaluate_run(const HoistedLogs& logs, const batch::Inputs<4>& in, std::size_t start,
                           std::size_t len, double* out) {
    const BlackRun run(logs, in, start, len);
    for (std::size_t j = 0; j < len; ++j) {
      const BlackTerms t = run.terms(j);
      out[j] = !run.ok[j]           ? batch::kRejected
               : t.total_vol == 0.0 ? sensitivity::at_zero_vol<S>(t, run.call[j])
                                    : S::of(t, run.call[j]);
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

// The Black-76 inversions go to the lane kernels (detail/lanes.hpp) a block
// at a time; each element there gets exactly the scalar operation's bits.
struct ImpliedVolatility : Inversion<&implied_volatility> {
  static constexpr std::size_t kBlock = lanes::kBlock;
  static void block(const double* price, const double* forward, const double* strike,
                    const double* maturity, const std::uint8_t* is_call, std::size_t n,
                    double* out) {
    lanes::implied_volatility_block(price, forward, strike, maturity, is_call, n, out);
  }
};

struct NormalisedImpliedVolatility : Inversion<&normalised_implied_volatility> {
  static constexpr std::size_t kBlock = lanes::kBlock;
  static void block(const double* beta, const double* x, const std::uint8_t* is_call, std::size_t n,
                    double* out) {
    lanes::normalised_implied_volatility_block(beta, x, is_call, n, out);
  }
};
using Delta = BlackSensitivity<sensitivity::Delta, true>;
using Gamma = BlackSensitivity<sensitivity::Gamma, false>;
using Vega = BlackSensitivity<sensitivity::Vega, false>;
using Theta = BlackSensitivity<sensitivity::Theta, false>;
using Vomma = BlackSensitivity<sensitivity::Vomma, false>;
using Vanna = BlackSensitivity<sensitivity::Vanna, false>;
using BlackScholesDelta = Each<&black_scholes_delta>;
using BlackScholesGamma = Each<&black_scholes_gamma>;
using BlackScholesVega = Each<&black_scholes_vega>;
using BlackScholesTheta = Each<&black_scholes_theta>;
using BlackScholesVomma = Each<&black_scholes_vomma>;
using BlackScholesVanna = Each<&black_scholes_vanna>;
using BlackScholesRho = Each<&black_scholes_rho>;
using BlackScholesDividendRho = Each<&black_scholes_dividend_rho>;
using BlackScholesImpliedVolatility = Inversion<&black_scholes_implied_volatility>;
using BlackImpliedVolatility = Inversion<&black_implied_volatility>;

// The normal model: each element the scalar function's own call.
using BachelierPrice = Each<&bachelier_price>;
using BachelierDelta = Each<&bachelier_delta>;
using BachelierGamma = Each<&bachelier_gamma>;
using BachelierVega = Each<&bachelier_vega>;
using BachelierTheta = Each<&bachelier_theta>;
using BachelierVanna = Each<&bachelier_vanna>;
using BachelierVomma = Each<&bachelier_vomma>;
// One rational starting point and one Halley step: some two prices. A batch
// runs a block at a time, stage by stage, with the scalar function's bits.
struct BachelierImpliedVolatility : Each<&bachelier_implied_volatility> {
  static constexpr std::size_t kWork = 2;
  static constexpr std::size_t kBlock = kBachelierBlock;
  static void block(const double* price, const double* forward, const double* strike,
                    const double* maturity, const std::uint8_t* is_call, std::size_t n,
                    double* out) {
    bachelier_implied_volatility_block(price, forward, strike, maturity, is_call, n, out);
  }
};

// An American price solves the exercise boundary first: one to two
// milliseconds, some 32,768 cheap elements, so every element is a piece of
// its own; its inversion some four prices.
struct AmericanPrice : Each<&american_price> {
  static constexpr std::size_t kWork = 32768;
};
struct AmericanImpliedVolatility : Each<&american_implied_volatility> {
  static constexpr std::size_t kWork = 131072;
};

}  // namespace tarvik::ops
