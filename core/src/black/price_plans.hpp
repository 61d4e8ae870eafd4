// The Black-76 and spot-model prices split around their two erfc calls: a
// plan holds everything the inputs decide (validation, the case, the two
// weights and the two erfc arguments), and the price follows from the plan
// and the two erfc values. The scalar prices are a plan priced at once; the
// spot-model batch makes the plans of a run of elements first, then
// evaluates all their erfc calls, then prices them, so that the logarithms,
// square root and division of one element and the erfc calls of its
// neighbours overlap instead of forming one dependent chain per element; the
// Black-76 batch runs the formula itself in vector lanes
// (black/price_lanes.hpp) and prices the rest by their plans. Every path
// runs the same operations on the same values, so an element of a batch
// equals the scalar price bit for bit; the formula is written once
// (black/price_formula.hpp).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "black/price_formula.hpp"
#include "black/terms.hpp"
#include "lanes/lanes.hpp"
#include "tarvik/black.hpp"
#include "tarvik/elementary.hpp"
#include "tarvik/errors.hpp"
#include "tarvik/normal.hpp"
#include "tarvik/numeric.hpp"

namespace tarvik {

// Two erfc arguments, or the two erfc values they give.
struct ErfcPair {
  double p;
  double q;
};

inline ErfcPair erfc_of(ErfcPair args) {
  return {elementary::erfc(args.p), elementary::erfc(args.q)};
}

// The undiscounted Black-76 price from the total volatility s, with
// x = ln F - ln K, d1 = (x + s*(s*0.5))/s and d2 = d1 - s: the formula of
// price_formula.hpp, after the cases it does not cover (below). d2 is NaN
// exactly when d1 is (x NaN), and every formula then gives the quiet NaN of
// norm_cdf, which the plan returns directly.
class BlackPricePlan {
 public:
  // Unset until assigned: for the arrays a batch fills.
  BlackPricePlan() = default;

  // NaN for a non-finite forward or strike, for s NaN, infinite or negative,
  // and for d1 NaN; the intrinsic value for s = 0.
  static BlackPricePlan make(double forward, double strike, double total_vol, bool is_call) {
    return make(forward, strike, total_vol, is_call,
                [&] { return log_moneyness(forward, strike); });
  }

  // The same with x = ln F - ln K from `moneyness()`, asked only where the
  // price needs it.
  template <class Moneyness>
  static BlackPricePlan make(double forward, double strike, double total_vol, bool is_call,
                             Moneyness moneyness) {
    return make_from(forward, strike, total_vol, is_call, [&] {
      const double x = moneyness();
      return MoneynessD1{x, black_d1(x, total_vol)};
    });
  }

  // x and d1 = black_d1(x, s), as `terms()` gives them (a batch computes
  // them beforehand, over whole runs).
  struct MoneynessD1 {
    double x;
    double d1;
  };
  template <class Terms>
  static BlackPricePlan make_from(double forward, double strike, double total_vol, bool is_call,
                                  Terms terms) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const double s = total_vol;
    if (!std::isfinite(forward) || !std::isfinite(strike) || !std::isfinite(s) || s < 0.0) {
      return fixed(kNaN);
    }
    if (s == 0.0) return fixed(black_intrinsic(forward, strike, is_call));
    const MoneynessD1 t = terms();
    const double x = t.x;
    double d1 = t.d1;
    double d2 = d1 - s;
    // Beyond s = 1.9e154 the half variance s*(s*0.5) overflows and d2 would
    // stay +inf; in the limit d1 -> +inf and d2 -> -inf, so the call tends to
    // F and the put to K, their no-arbitrage maxima.
    if (std::isinf(s * (s * 0.5)) && !std::isnan(x)) {
      d1 = kInf;
      d2 = -kInf;
    }
    if (std::isnan(d1)) return fixed(kNaN);
    const bool out_of_the_money = is_call ? x < 0.0 : x > 0.0;
    const Form form = out_of_the_money ? Form::kOutOfTheMoney : Form::kInTheMoney;
    const black_formula::PriceSides<double> w =
        black_formula::price_sides(forward, strike, d1, d2, is_call == out_of_the_money);
    return {form, w.p, w.q, {w.arg_p, w.arg_q}};
  }

  // A price that needs no erfc (its arguments are 0, a cheap erfc).
  static BlackPricePlan fixed(double price) { return {Form::kFixed, price, 0.0, {0.0, 0.0}}; }

  // The arguments of the two erfc values the price needs.
  ErfcPair erfc_args() const { return args_; }

  double price(ErfcPair erfc) const {
    const double regular =
        black_formula::price_of_sides(form_ == Form::kOutOfTheMoney, p_, q_, erfc.p, erfc.q);
    return form_ == Form::kFixed ? p_ : regular;
  }

  double price() const { return form_ == Form::kFixed ? p_ : price(erfc_of(args_)); }

 private:
  enum class Form : std::uint8_t { kFixed, kOutOfTheMoney, kInTheMoney };

  BlackPricePlan(Form form, double p, double q, ErfcPair args)
      : form_(form), p_(p), q_(q), args_(args) {}

  Form form_;
  double p_;  // p, or a fixed plan's price
  double q_;
  ErfcPair args_;  // the erfc arguments of P and Q
};

// black_price: the input checks, then the plan for s = sigma*sqrt(T), with
// the logarithms and square root of the inputs given.
inline Result<BlackPricePlan> plan_black_price(double forward, double strike, double maturity,
                                               double volatility, bool is_call,
                                               const BlackLogs& logs) {
  if (Status err = validate_black_inputs(forward, strike, maturity, volatility)) return *err;
  return BlackPricePlan::make(forward, strike, volatility * logs.sqrt_maturity, is_call,
                              [&] { return logs.moneyness(); });
}

// The spot-model price: the Black-76 plan of the forward, discounted by
// D_r = exp(-(r*T)).
class BlackScholesPricePlan {
 public:
  // Unset until assigned: for the arrays a batch fills.
  BlackScholesPricePlan() = default;
  BlackScholesPricePlan(BlackPricePlan black, double discount)
      : black_(black), discount_(discount) {}

  // A price that needs no erfc (1*price is price, bit for bit).
  static BlackScholesPricePlan fixed(double price) { return {BlackPricePlan::fixed(price), 1.0}; }

  ErfcPair erfc_args() const { return black_.erfc_args(); }
  double price(ErfcPair erfc) const { return discount_ * black_.price(erfc); }
  double price() const { return discount_ * black_.price(); }

 private:
  BlackPricePlan black_;
  double discount_;
};

// black_scholes_price up to its erfc calls (defined beside it).
Result<BlackScholesPricePlan> plan_black_scholes_price(double spot, double strike, double maturity,
                                                       double rate, double dividend,
                                                       double volatility, bool is_call);

// The erfc values of plans[0..len), len <= N, in one lane call: each the
// scalar erfc's bits.
template <class Plan, std::size_t N>
inline void erfcs_of(const Plan* plans, std::size_t len, std::array<ErfcPair, N>& out) {
  double v[2 * N] = {};
  for (std::size_t j = 0; j < len; ++j) {
    const ErfcPair a = plans[j].erfc_args();
    v[2 * j] = a.p;
    v[2 * j + 1] = a.q;
  }
  lanes::erfc_each(v, 2 * len, v);
  for (std::size_t j = 0; j < len; ++j) out[j] = {v[2 * j], v[2 * j + 1]};
}

}  // namespace tarvik
