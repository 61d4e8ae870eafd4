// The spot model with continuous rate r and dividend yield q: move to the
// forward F = S*exp(T*(r - q)), price with Black-76 and discount with
// D_r = exp(-(r*T)); the sensitivities reuse BlackTerms with D_r and
// D_q = exp(-(q*T)). Every formula is evaluated in one fixed grouping.
#include "tarvik/black_scholes.hpp"

#include <cmath>

#include "black/terms.hpp"
#include "tarvik/black.hpp"
#include "tarvik/elementary.hpp"
#include "tarvik/greeks.hpp"
#include "tarvik/normal.hpp"

#include "black/price_plans.hpp"

namespace tarvik {

namespace {

// The checks shared by the price and the sensitivities, in order: spot-side
// inputs, strike/maturity/volatility as for Black-76, then the forward. Only
// the reason for an unusable forward differs between the two callers.
Result<double> validated_forward(double spot, double strike, double maturity, double rate,
                                 double dividend, double volatility,
                                 const char* bad_forward_reason) {
  if (Status err = require_spot_inputs(spot, rate, dividend)) return *err;
  if (!std::isfinite(strike) || !std::isfinite(maturity) || !std::isfinite(volatility)) {
    return IVError::invalid_input("non-finite Black input");
  }
  if (Status err = require_positive_strike_maturity(strike, maturity)) return *err;
  if (Status err = require_volatility(volatility)) return *err;
  return spot_forward(spot, maturity, rate, dividend, bad_forward_reason);
}

// Everything a spot-model sensitivity needs, computed once per call.
struct SpotTerms {
  double spot;
  double strike;
  double maturity;
  double rate;
  double dividend;
  double rate_discount;      // D_r
  double dividend_discount;  // D_q
  double forward;
  BlackTerms black;  // total_vol 0 at zero total volatility
};

Result<SpotTerms> spot_terms(double spot, double strike, double maturity, double rate,
                             double dividend, double volatility) {
  const Result<double> forward = validated_forward(
      spot, strike, maturity, rate, dividend, volatility, "non-finite or non-positive forward");
  if (!forward) return forward.error();
  const double d_r = elementary::exp(-(rate * maturity));
  const double d_q = elementary::exp(-(dividend * maturity));
  // A discount factor of 0 (huge rate or yield) is usable; only overflow is not.
  if (!std::isfinite(d_r) || !std::isfinite(d_q)) {
    return IVError::invalid_input("non-finite discount factors");
  }
  const Result<BlackTerms> black =
      BlackTerms::make(forward.value(), strike, maturity, volatility,
                       BlackLogs::of(forward.value(), strike, maturity));
  if (!black) return black.error();
  return SpotTerms{spot, strike, maturity,        rate,         dividend,
                   d_r,  d_q,    forward.value(), black.value()};
}

// The sensitivities of valid inputs from their terms and the density
// pdf = phi(d1) (unused at zero total volatility, where only delta, rho and
// dividend rho are not 0). Each formula is written once here; the single
// functions and black_scholes_greeks both evaluate it.
namespace formula {

bool zero_vol(const SpotTerms& t) { return t.black.total_vol == 0.0; }

double delta(const SpotTerms& t, bool is_call) {
  if (zero_vol(t)) return t.dividend_discount * zero_volatility_delta(t.black.x, is_call);
  const double d1 = t.black.d1;
  return is_call ? t.dividend_discount * norm_cdf(d1) : t.dividend_discount * -norm_cdf_c(d1);
}

double gamma(const SpotTerms& t, double pdf) {
  if (zero_vol(t)) return 0.0;
  return (t.dividend_discount * pdf) / (t.spot * t.black.total_vol);
}

// S*D_q*phi(d1)*sqrt(T), formed through D_r*F (equal up to rounding).
double vega(const SpotTerms& t, double pdf) {
  if (zero_vol(t)) return 0.0;
  return t.black.sqrt_maturity * ((t.rate_discount * t.forward) * pdf);
}

// Time decay of the density term, then the carry of the discounted strike
// (rate) and of the discounted spot (dividend yield).
double theta(const SpotTerms& t, double pdf, bool is_call) {
  if (zero_vol(t)) return 0.0;
  const BlackTerms& b = t.black;
  const double decay = (b.volatility * (-(t.spot * t.dividend_discount) * pdf)) /
                       (b.sqrt_maturity + b.sqrt_maturity);
  const double strike_carry = (t.strike * t.rate) * t.rate_discount;
  const double spot_carry = (t.spot * t.dividend) * t.dividend_discount;
  if (is_call) {
    return (decay - strike_carry * norm_cdf(b.d2)) + spot_carry * norm_cdf(b.d1);
  }
  return (decay + strike_carry * norm_cdf_c(b.d2)) - spot_carry * norm_cdf_c(b.d1);
}

double vanna(const SpotTerms& t, double pdf) {
  if (zero_vol(t)) return 0.0;
  return (t.black.d2 * -(t.dividend_discount * pdf)) / t.black.volatility;
}

double vomma(const SpotTerms& t, double pdf) {
  if (zero_vol(t)) return 0.0;
  return (t.black.d2 * (t.black.d1 * vega(t, pdf))) / t.black.volatility;
}

// rho = dV/dr = T K D_r Phi(d2) for a call, -T K D_r Phic(d2) for a put
// (only the discounting of the strike remains: the forward's dependence on r
// cancels the spot's share); at zero volatility Phi(d2) is the zero-volatility
// delta's 1, 1/2 or 0.
double rho(const SpotTerms& t, bool is_call) {
  const double weight = (t.strike * t.maturity) * t.rate_discount;
  if (zero_vol(t)) return weight * zero_volatility_delta(t.black.x, is_call);
  const double d2 = t.black.d2;
  return is_call ? weight * norm_cdf(d2) : weight * -norm_cdf_c(d2);
}

// dV/dq = -T S D_q Phi(d1) for a call, T S D_q Phic(d1) for a put: the
// forward falls with the yield; at zero volatility Phi(d1) is the
// zero-volatility delta's 1, 1/2 or 0.
double dividend_rho(const SpotTerms& t, bool is_call) {
  const double weight = (t.spot * t.maturity) * t.dividend_discount;
  if (zero_vol(t)) return -(weight * zero_volatility_delta(t.black.x, is_call));
  const double d1 = t.black.d1;
  return is_call ? -(weight * norm_cdf(d1)) : weight * norm_cdf_c(d1);
}

// phi(d1), or 0 at zero total volatility (where d1 is unset and unused).
double density(const SpotTerms& t) { return zero_vol(t) ? 0.0 : norm_pdf(t.black.d1); }

}  // namespace formula

// A sensitivity of the spot terms of the inputs, or their error.
template <class Formula>
Result<double> from_terms(double spot, double strike, double maturity, double rate, double dividend,
                          double volatility, Formula formula) {
  const auto terms = spot_terms(spot, strike, maturity, rate, dividend, volatility);
  if (!terms) return terms.error();
  return formula(terms.value());
}

}  // namespace

Status require_spot_inputs(double spot, double rate, double dividend) {
  if (!std::isfinite(spot) || !std::isfinite(rate) || !std::isfinite(dividend)) {
    return IVError::invalid_input("non-finite Black-Scholes input");
  }
  if (spot <= 0.0) return IVError::invalid_input("spot must be positive");
  return std::nullopt;
}

Result<double> spot_forward(double spot, double maturity, double rate, double dividend,
                            const char* reason) {
  const double forward = spot * elementary::exp(maturity * (rate - dividend));
  if (!std::isfinite(forward) || forward <= 0.0) return IVError::invalid_input(reason);
  return forward;
}

Result<double> black_scholes_forward(double spot, double maturity, double rate, double dividend) {
  if (!std::isfinite(spot) || !std::isfinite(maturity) || !std::isfinite(rate) ||
      !std::isfinite(dividend)) {
    return IVError::invalid_input("non-finite forward inputs");
  }
  if (spot <= 0.0) return IVError::invalid_input("spot must be positive");
  if (maturity <= 0.0) return IVError::negative_time(maturity);
  return spot_forward(spot, maturity, rate, dividend, "non-finite or non-positive forward");
}

Result<BlackScholesPricePlan> plan_black_scholes_price(double spot, double strike, double maturity,
                                                       double rate, double dividend,
                                                       double volatility, bool is_call) {
  const Result<double> forward =
      validated_forward(spot, strike, maturity, rate, dividend, volatility,
                        "non-finite or non-positive forward from spot/rates");
  if (!forward) return forward.error();
  const double d_r = elementary::exp(-(rate * maturity));
  if (!std::isfinite(d_r)) return IVError::invalid_input("non-finite discount factor");
  return BlackScholesPricePlan(
      BlackPricePlan::make(forward.value(), strike, std::sqrt(maturity) * volatility, is_call),
      d_r);
}

Result<double> black_scholes_price(double spot, double strike, double maturity, double rate,
                                   double dividend, double volatility, bool is_call) {
  const Result<BlackScholesPricePlan> plan =
      plan_black_scholes_price(spot, strike, maturity, rate, dividend, volatility, is_call);
  if (!plan) return plan.error();
  return plan.value().price();
}

Result<double> black_scholes_delta(double spot, double strike, double maturity, double rate,
                                   double dividend, double volatility, bool is_call) {
  return from_terms(spot, strike, maturity, rate, dividend, volatility,
                    [is_call](const SpotTerms& t) { return formula::delta(t, is_call); });
}

Result<double> black_scholes_gamma(double spot, double strike, double maturity, double rate,
                                   double dividend, double volatility) {
  return from_terms(spot, strike, maturity, rate, dividend, volatility,
                    [](const SpotTerms& t) { return formula::gamma(t, formula::density(t)); });
}

Result<double> black_scholes_vega(double spot, double strike, double maturity, double rate,
                                  double dividend, double volatility) {
  return from_terms(spot, strike, maturity, rate, dividend, volatility,
                    [](const SpotTerms& t) { return formula::vega(t, formula::density(t)); });
}

Result<double> black_scholes_theta(double spot, double strike, double maturity, double rate,
                                   double dividend, double volatility, bool is_call) {
  return from_terms(
      spot, strike, maturity, rate, dividend, volatility,
      [is_call](const SpotTerms& t) { return formula::theta(t, formula::density(t), is_call); });
}

Result<double> black_scholes_vanna(double spot, double strike, double maturity, double rate,
                                   double dividend, double volatility) {
  return from_terms(spot, strike, maturity, rate, dividend, volatility,
                    [](const SpotTerms& t) { return formula::vanna(t, formula::density(t)); });
}

Result<double> black_scholes_vomma(double spot, double strike, double maturity, double rate,
                                   double dividend, double volatility) {
  return from_terms(spot, strike, maturity, rate, dividend, volatility,
                    [](const SpotTerms& t) { return formula::vomma(t, formula::density(t)); });
}

Result<double> black_scholes_rho(double spot, double strike, double maturity, double rate,
                                 double dividend, double volatility, bool is_call) {
  return from_terms(spot, strike, maturity, rate, dividend, volatility,
                    [is_call](const SpotTerms& t) { return formula::rho(t, is_call); });
}

Result<double> black_scholes_dividend_rho(double spot, double strike, double maturity, double rate,
                                          double dividend, double volatility, bool is_call) {
  return from_terms(spot, strike, maturity, rate, dividend, volatility,
                    [is_call](const SpotTerms& t) { return formula::dividend_rho(t, is_call); });
}

Result<SpotGreeks> black_scholes_greeks(double spot, double strike, double maturity, double rate,
                                        double dividend, double volatility, bool is_call) {
  const auto terms = spot_terms(spot, strike, maturity, rate, dividend, volatility);
  if (!terms) return terms.error();
  const SpotTerms& t = terms.value();
  const double pdf = formula::density(t);
  return SpotGreeks{.delta = formula::delta(t, is_call),
                    .gamma = formula::gamma(t, pdf),
                    .vega = formula::vega(t, pdf),
                    .theta = formula::theta(t, pdf, is_call),
                    .vanna = formula::vanna(t, pdf),
                    .vomma = formula::vomma(t, pdf),
                    .rho = formula::rho(t, is_call),
                    .dividend_rho = formula::dividend_rho(t, is_call)};
}

}  // namespace tarvik
