// Black-76 sensitivities of the undiscounted price V(F, K, T, sigma):
//   delta = dV/dF, gamma = d2V/dF2, vega = dV/dsigma, theta = -dV/dT,
//   vanna = d2V/dFdsigma, vomma = d2V/dsigma2.
// Each formula is evaluated in one fixed grouping so that scalar calls, batch
// elements and the spot-model sensitivities built on BlackTerms agree bit for
// bit.
#include "tarvik/greeks.hpp"

#include <cmath>

#include "tarvik/black.hpp"
#include "tarvik/normal.hpp"

namespace tarvik {

namespace {

// A sensitivity from the terms of a valid input; `at_zero_vol` when the
// total volatility is 0 and there are no terms.
template <class Formula>
Result<double> from_terms(double forward, double strike, double maturity, double volatility,
                          double at_zero_vol, Formula formula) {
  const auto terms = BlackTerms::make(forward, strike, maturity, volatility);
  if (!terms) return terms.error();
  if (!terms.value()) return at_zero_vol;
  return formula(*terms.value());
}

// F * phi(d1) * sqrt(T), grouped as sqrt(T) * (F * phi(d1)).
double vega_of(const BlackTerms& t) {
  return t.sqrt_maturity * (t.forward * t.density_d1);
}

}  // namespace

double zero_volatility_delta(double forward, double strike, bool is_call) {
  const double x = log_moneyness(forward, strike);
  if (x > 0.0) return is_call ? 1.0 : 0.0;
  if (x == 0.0) return is_call ? 0.5 : -0.5;
  return is_call ? 0.0 : -1.0;
}

Result<std::optional<BlackTerms>> BlackTerms::make(double forward, double strike,
                                                   double maturity, double volatility) {
  if (Status err = validate_black_inputs(forward, strike, maturity, volatility)) return *err;
  const double sqrt_t = std::sqrt(maturity);
  const double s = volatility * sqrt_t;
  // Zero volatility, or a product that underflows: the price is the
  // intrinsic value and d1, d2 are undefined.
  if (s == 0.0) return std::optional<BlackTerms>();
  const double d1 = black_d1(log_moneyness(forward, strike), s);
  return std::optional<BlackTerms>(BlackTerms{
      .forward = forward,
      .d1 = d1,
      .d2 = d1 - s,
      .total_vol = s,
      .sqrt_maturity = sqrt_t,
      .volatility = volatility,
      .density_d1 = norm_pdf(d1),
  });
}

Result<double> delta(double forward, double strike, double maturity, double volatility,
                     bool is_call) {
  // The put takes -Phic(d1) rather than Phi(d1) - 1: no cancellation deep in
  // the money.
  return from_terms(forward, strike, maturity, volatility,
                    zero_volatility_delta(forward, strike, is_call), [&](const BlackTerms& t) {
                      return is_call ? norm_cdf(t.d1) : -norm_cdf_c(t.d1);
                    });
}

Result<double> gamma(double forward, double strike, double maturity, double volatility) {
  return from_terms(forward, strike, maturity, volatility, 0.0, [](const BlackTerms& t) {
    return t.density_d1 / (t.forward * t.total_vol);
  });
}

Result<double> vega(double forward, double strike, double maturity, double volatility) {
  return from_terms(forward, strike, maturity, volatility, 0.0, vega_of);
}

Result<double> theta(double forward, double strike, double maturity, double volatility) {
  // -F * phi(d1) * sigma / (2 sqrt(T)); 2 sqrt(T) formed as a sum (exact).
  return from_terms(forward, strike, maturity, volatility, 0.0, [](const BlackTerms& t) {
    return (t.volatility * -(t.forward * t.density_d1)) / (t.sqrt_maturity + t.sqrt_maturity);
  });
}

Result<double> vanna(double forward, double strike, double maturity, double volatility) {
  return from_terms(forward, strike, maturity, volatility, 0.0, [](const BlackTerms& t) {
    return -(t.density_d1 * t.d2) / t.volatility;
  });
}

Result<double> vomma(double forward, double strike, double maturity, double volatility) {
  return from_terms(forward, strike, maturity, volatility, 0.0, [](const BlackTerms& t) {
    return (t.d2 * (t.d1 * vega_of(t))) / t.volatility;
  });
}

}  // namespace tarvik
