// The terms of the Black formula and the sensitivities built on them: the
// logarithms and square root of the inputs, d1, BlackTerms, and each
// sensitivity's formula, written once in its one fixed grouping, serving the
// scalar functions, the batch kernels (with the logarithms of broadcast
// inputs taken once) and the spot model alike.
#pragma once

#include <cmath>

#include "black/inputs.hpp"
#include "tarvik/black.hpp"
#include "tarvik/elementary.hpp"
#include "tarvik/errors.hpp"
#include "tarvik/greeks.hpp"
#include "tarvik/normal.hpp"

namespace tarvik {

// The logarithms and the square root that the Black-76 formulas take of
// their inputs. A batch takes each of a broadcast input once; a scalar call
// takes them of its own inputs (of(), before any check: the checks look at
// the inputs themselves, and a NaN here is never used).
struct BlackLogs {
  double ln_forward;
  double ln_strike;
  double sqrt_maturity;

  static BlackLogs of(double forward, double strike, double maturity) {
    return {elementary::log(forward), elementary::log(strike), std::sqrt(maturity)};
  }
  // ln F - ln K.
  double moneyness() const { return ln_forward - ln_strike; }
};

// d1 = (x + s*(s*0.5)) / s, in exactly that order; d2 = d1 - s. Always
// inlined, also into the lane paths built for wider targets.
[[gnu::always_inline]] inline double black_d1(double x, double total_vol) {
  return (x + total_vol * (total_vol * 0.5)) / total_vol;
}

struct BlackTerms {
  double forward;        // F as passed in
  double x;              // ln F - ln K
  double d1;             // black_d1(x, s); unset at zero total volatility
  double d2;             // d1 - s
  double total_vol;      // s = sigma*sqrt(T), 0 at zero volatility
  double sqrt_maturity;  // sqrt(T)
  double volatility;     // sigma as passed in

  // Checks the inputs like black_price, then computes the terms.
  static Result<BlackTerms> make(double forward, double strike, double maturity, double volatility,
                                 const BlackLogs& logs);

  // The terms of valid inputs from s = sigma*sqrt(T), x and black_d1(x, s)
  // (a batch computes those over whole runs). At zero volatility, or for a
  // product sigma*sqrt(T) that underflows, the price is the intrinsic value
  // and d1 = d2 = 0 stand for undefined.
  static BlackTerms of(double forward, double x, double total_vol, double sqrt_maturity,
                       double volatility, double d1) {
    const double d = total_vol == 0.0 ? 0.0 : d1;
    return {.forward = forward,
            .x = x,
            .d1 = d,
            .d2 = d - total_vol,
            .total_vol = total_vol,
            .sqrt_maturity = sqrt_maturity,
            .volatility = volatility};
  }
};

// Delta of the zero-volatility price max(F - K, 0) or max(K - F, 0), by the
// sign of x = ln F - ln K: a call 1, 0.5, 0 and a put 0, -0.5, -1 for x > 0,
// x = 0, x < 0 (the at-the-money kink takes half of each side).
double zero_volatility_delta(double x, bool is_call);

// The sensitivities, each as of(terms) for a total volatility s > 0 and its
// value at s = 0. Those built on the density phi(d1) take it as with(terms,
// phi): a caller computing several of them (black_greeks) evaluates phi once;
// of() is with() at norm_pdf(d1), so both give the same bits.
namespace sensitivity {

template <class S>
struct FromDensity {
  static double of(const BlackTerms& t, bool is_call) {
    return S::with(t, norm_pdf(t.d1), is_call);
  }
};

// The put takes -Phic(d1) rather than Phi(d1) - 1: no cancellation deep in
// the money.
struct Delta {
  static double of(const BlackTerms& t, bool is_call) {
    return is_call ? norm_cdf(t.d1) : -norm_cdf_c(t.d1);
  }
  static double with(const BlackTerms& t, double, bool is_call) { return of(t, is_call); }
  static double at_zero_vol(const BlackTerms& t, bool is_call) {
    return zero_volatility_delta(t.x, is_call);
  }
};
struct Gamma : FromDensity<Gamma> {
  static double with(const BlackTerms& t, double pdf, bool) {
    return pdf / (t.forward * t.total_vol);
  }
};
// F * phi(d1) * sqrt(T), grouped as sqrt(T) * (F * phi(d1)).
struct Vega : FromDensity<Vega> {
  static double with(const BlackTerms& t, double pdf, bool) {
    return t.sqrt_maturity * (t.forward * pdf);
  }
};
// -F * phi(d1) * sigma / (2 sqrt(T)); 2 sqrt(T) formed as a sum (exact).
struct Theta : FromDensity<Theta> {
  static double with(const BlackTerms& t, double pdf, bool) {
    return (t.volatility * -(t.forward * pdf)) / (t.sqrt_maturity + t.sqrt_maturity);
  }
};
struct Vanna : FromDensity<Vanna> {
  static double with(const BlackTerms& t, double pdf, bool) { return -(pdf * t.d2) / t.volatility; }
};
struct Vomma : FromDensity<Vomma> {
  static double with(const BlackTerms& t, double pdf, bool) {
    return (t.d2 * (t.d1 * Vega::with(t, pdf, true))) / t.volatility;
  }
};

// Every sensitivity but delta is 0 at zero volatility.
template <class S>
double at_zero_vol(const BlackTerms& t, bool is_call) {
  if constexpr (requires { S::at_zero_vol(t, is_call); }) {
    return S::at_zero_vol(t, is_call);
  } else {
    return 0.0;
  }
}

}  // namespace sensitivity

// Sensitivity S of valid inputs: the checks and terms of BlackTerms::make,
// then its formula or, at zero total volatility, its value there.
template <class S>
Result<double> black_sensitivity(double forward, double strike, double maturity, double volatility,
                                 bool is_call, const BlackLogs& logs) {
  const Result<BlackTerms> terms = BlackTerms::make(forward, strike, maturity, volatility, logs);
  if (!terms) return terms.error();
  const BlackTerms& t = terms.value();
  return t.total_vol == 0.0 ? sensitivity::at_zero_vol<S>(t, is_call) : S::of(t, is_call);
}

// The scalar sensitivities: the logarithms of their own inputs.
template <class S>
Result<double> scalar_sensitivity(double forward, double strike, double maturity, double volatility,
                                  bool is_call = true) {
  return black_sensitivity<S>(forward, strike, maturity, volatility, is_call,
                              BlackLogs::of(forward, strike, maturity));
}

}  // namespace tarvik
