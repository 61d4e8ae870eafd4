// The element computations of the batch operations that the core evaluates
// in stages, in blocks or in vector lanes rather than one scalar call per
// element (batch/ops.hpp declares every operation): Element<Op> names the
// computation a kernel runs for operation Op, Op itself unless one below
// stands in for it. Each gives every element the bits of the scalar
// operation, NaN exactly where that one reports an error.
//
// Besides element(prepared, values..., is_call), used for the error codes, a
// computation offers one of: a Plan (the spot-model prices:
// plan_or_rejected(prepared, ...), and the batch driver evaluates the plans
// of a run before their erfc calls); kRun and evaluate_run (a run at a time:
// the Black-76 prices and sensitivities); kBlock and block (whole blocks of
// gathered inputs: the lane kernels).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "batch/ops.hpp"
#include "black/price_plans.hpp"
#include "black/terms.hpp"
#include "lanes/lanes.hpp"
#include "tarvik/bachelier.hpp"
#include "tarvik/batch.hpp"
#include "tarvik/black.hpp"
#include "tarvik/elementary.hpp"
#include "tarvik/greeks.hpp"

namespace tarvik {
namespace batch {

// The computation behind operation Op.
template <class Op>
struct Element {
  using type = Op;
};

// The run of elements whose plans are made before any of their erfc calls.
inline constexpr std::size_t kPlanRun = 128;

}  // namespace batch

namespace elements {

// The logarithms and square root of a Black-76 batch's forward, strike and
// maturity (inputs 0 to 2), those of a broadcast input taken once: the same
// operation on the same operand, so the same bits.
class HoistedLogs {
 public:
  template <std::size_t N>
  explicit HoistedLogs(const batch::Inputs<N>& in)
      : once_f_(in.broadcast(0)), once_k_(in.broadcast(1)), once_t_(in.broadcast(2)) {
    if (in.size() == 0) return;
    if (once_f_) ln_f_ = elementary::log(in.value(0, 0));
    if (once_k_) ln_k_ = elementary::log(in.value(1, 0));
    if (once_t_) sqrt_t_ = std::sqrt(in.value(2, 0));
  }
  BlackLogs at(double forward, double strike, double maturity) const {
    return {once_f_ ? ln_f_ : elementary::log(forward), once_k_ ? ln_k_ : elementary::log(strike),
            once_t_ ? sqrt_t_ : std::sqrt(maturity)};
  }
  // The same over a run of n elements, into ln_f, ln_k and sqrt_t.
  void over(const double* forward, const double* strike, const double* maturity, std::size_t n,
            double* ln_f, double* ln_k, double* sqrt_t) const {
    const auto logs = [](const double* in, std::size_t len, double* out) {
      lanes::log_each(in, len, out);
    };
    const auto roots = [](const double* in, std::size_t len, double* out) {
      for (std::size_t j = 0; j < len; ++j) out[j] = std::sqrt(in[j]);
    };
    column(once_f_, ln_f_, forward, n, ln_f, logs);
    column(once_k_, ln_k_, strike, n, ln_k, logs);
    column(once_t_, sqrt_t_, maturity, n, sqrt_t, roots);
  }

 private:
  template <class F>
  static void column(bool once, double value, const double* in, std::size_t n, double* out, F f) {
    if (once) {
      std::fill_n(out, n, value);
    } else {
      f(in, n, out);
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
struct alignas(64) BlackRun {
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

// phi(d1) of the first len elements of a run, the exponentials in one lane
// pass (norm_pdf's bits).
inline void densities_of(const BlackRun& run, std::size_t len, double* pdf) {
  for (std::size_t j = 0; j < len; ++j) pdf[j] = detail::norm_pdf_exponent(run.d1[j]);
  lanes::exp_each(pdf, len, pdf);
  for (std::size_t j = 0; j < len; ++j) pdf[j] = detail::norm_pdf_given(run.d1[j], pdf[j]);
}

// Delta at a total volatility s > 0 (sensitivity::Delta's bits): Phi(d1)
// for a call, -(1 - Phi(d1)) for a put, in vector lanes.
inline void deltas_of(const BlackRun& run, std::size_t len, double* delta) {
  lanes::black_deltas(run.d1, run.call, len, delta);
}

// The prices of the first len elements of a run: in vector lanes where
// their plans take the price formula, by the plans elsewhere (rejected
// inputs, zero or overflowing total volatility, NaN d1).
inline void prices_of(const BlackRun& run, std::size_t len, double* out) {
  bool regular[BlackRun::kSize];
  lanes::black_prices(run.forward, run.strike, run.s, run.x, run.d1, run.call, run.ok, len, out,
                      regular);
  for (std::size_t j = 0; j < len; ++j) {
    if (regular[j]) continue;
    out[j] = run.ok[j] ? BlackPricePlan::make_from(
                             run.forward[j], run.strike[j], run.s[j], run.call[j],
                             [&] { return BlackPricePlan::MoneynessD1{run.x[j], run.d1[j]}; })
                             .price()
                       : batch::kRejected;
  }
}

// A price plan, or for a rejected input a plan whose price is the NaN.
template <class Plan>
inline Plan plan_or_rejected(const Result<Plan>& r) {
  return r.ok() ? r.value() : Plan::fixed(batch::kRejected);
}

struct BlackPrice {
  static constexpr std::size_t kRun = BlackRun::kSize;
  using Prepared = HoistedLogs;
  static Result<BlackPricePlan> plan(const HoistedLogs& logs, double forward, double strike,
                                     double maturity, double vol, bool is_call) {
    return plan_black_price(forward, strike, maturity, vol, is_call,
                            logs.at(forward, strike, maturity));
  }
  // The prices of elements start to start + len, from the terms of the run.
  static void evaluate_run(const HoistedLogs& logs, const batch::Inputs<4>& in, std::size_t start,
                           std::size_t len, double* out) {
    prices_of(BlackRun(logs, in, start, len), len, out);
  }
  static Result<double> element(const HoistedLogs& logs, double forward, double strike,
                                double maturity, double vol, bool is_call) {
    const Result<BlackPricePlan> p = plan(logs, forward, strike, maturity, vol, is_call);
    if (!p) return p.error();
    return p.value().price();
  }
};

struct BlackScholesPrice : ops::BlackScholesPrice {
  using Plan = BlackScholesPricePlan;
  using Erfcs = ErfcPair;
  static Plan plan_or_rejected(const Prepared&, double spot, double strike, double maturity,
                               double rate, double dividend, double vol, bool is_call) {
    return elements::plan_or_rejected(
        plan_black_scholes_price(spot, strike, maturity, rate, dividend, vol, is_call));
  }
};

// A Black-76 sensitivity of greeks.hpp, with hoisted logarithms; a batch
// evaluates it a run at a time from the terms of the run.
template <class S>
struct BlackSensitivity {
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
    // Delta's values themselves, or the density the others are made of.
    alignas(64) double v[kRun];
    constexpr bool kDelta = std::is_same_v<S, sensitivity::Delta>;
    if constexpr (kDelta) {
      deltas_of(run, len, v);
    } else {
      densities_of(run, len, v);
    }
    for (std::size_t j = 0; j < len; ++j) {
      const BlackTerms t = run.terms(j);
      out[j] = !run.ok[j]           ? batch::kRejected
               : t.total_vol == 0.0 ? sensitivity::at_zero_vol<S>(t, run.call[j])
               : kDelta             ? v[j]
                                    : S::with(t, v[j], run.call[j]);
    }
  }
};

// The inversions of a price go to the lane kernels (lanes/lanes.hpp) a block
// at a time; each element there gets exactly the scalar operation's bits.
// Block is the lane entry of operation Op: the Black-76 inversions, and the
// normal model's (one rational starting point and one Halley step).
using LaneInversion = void (*)(const double*, const double*, const double*, const double*,
                               const std::uint8_t*, std::size_t, double*);
template <class Op, LaneInversion Block>
struct InversionLanes : Op {
  static constexpr std::size_t kBlock = lanes::kBlock;
  static void block(const double* price, const double* forward, const double* strike,
                    const double* maturity, const std::uint8_t* is_call, std::size_t n,
                    double* out) {
    Block(price, forward, strike, maturity, is_call, n, out);
  }
};

struct NormalisedImpliedVolatility : ops::NormalisedImpliedVolatility {
  static constexpr std::size_t kBlock = lanes::kBlock;
  static void block(const double* beta, const double* x, const std::uint8_t* is_call, std::size_t n,
                    double* out) {
    lanes::normalised_implied_volatility_block(beta, x, is_call, n, out);
  }
};

// The normal model's price and the sensitivities built on phi(d) alone, a
// block at a time in the lane kernels.
template <class Op, lanes::BachelierFormula Which>
struct BachelierLanes : Op {
  static constexpr std::size_t kBlock = lanes::kBlock;
  static void block(const double* forward, const double* strike, const double* maturity,
                    const double* vol, const std::uint8_t* is_call, std::size_t n, double* out) {
    lanes::bachelier_block(Which, forward, strike, maturity, vol, is_call, n, out);
  }
};

}  // namespace elements

namespace batch {

// clang-format off
template <> struct Element<ops::BlackPrice> { using type = elements::BlackPrice; };
template <> struct Element<ops::BlackScholesPrice> { using type = elements::BlackScholesPrice; };
template <> struct Element<ops::ImpliedVolatility> {
  using type = elements::InversionLanes<ops::ImpliedVolatility, &lanes::implied_volatility_block>;
};
template <> struct Element<ops::BlackImpliedVolatility> {
  using type = elements::InversionLanes<ops::BlackImpliedVolatility,
                                        &lanes::black_implied_volatility_block>;
};
template <> struct Element<ops::NormalisedImpliedVolatility> {
  using type = elements::NormalisedImpliedVolatility;
};
template <> struct Element<ops::Delta> { using type = elements::BlackSensitivity<sensitivity::Delta>; };
template <> struct Element<ops::Gamma> { using type = elements::BlackSensitivity<sensitivity::Gamma>; };
template <> struct Element<ops::Vega> { using type = elements::BlackSensitivity<sensitivity::Vega>; };
template <> struct Element<ops::Theta> { using type = elements::BlackSensitivity<sensitivity::Theta>; };
template <> struct Element<ops::Vomma> { using type = elements::BlackSensitivity<sensitivity::Vomma>; };
template <> struct Element<ops::Vanna> { using type = elements::BlackSensitivity<sensitivity::Vanna>; };
template <> struct Element<ops::BachelierImpliedVolatility> {
  using type = elements::InversionLanes<ops::BachelierImpliedVolatility,
                                        &lanes::bachelier_implied_volatility_block>;
};
template <> struct Element<ops::BachelierPrice> {
  using type = elements::BachelierLanes<ops::BachelierPrice, lanes::BachelierFormula::Price>;
};
template <> struct Element<ops::BachelierGamma> {
  using type = elements::BachelierLanes<ops::BachelierGamma, lanes::BachelierFormula::Gamma>;
};
template <> struct Element<ops::BachelierVega> {
  using type = elements::BachelierLanes<ops::BachelierVega, lanes::BachelierFormula::Vega>;
};
template <> struct Element<ops::BachelierTheta> {
  using type = elements::BachelierLanes<ops::BachelierTheta, lanes::BachelierFormula::Theta>;
};
template <> struct Element<ops::BachelierVanna> {
  using type = elements::BachelierLanes<ops::BachelierVanna, lanes::BachelierFormula::Vanna>;
};
template <> struct Element<ops::BachelierVomma> {
  using type = elements::BachelierLanes<ops::BachelierVomma, lanes::BachelierFormula::Vomma>;
};
// clang-format on

}  // namespace batch
}  // namespace tarvik
