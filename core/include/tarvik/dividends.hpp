// Cash dividends on known dates: the spot model with continuous rate r and
// yield q in which the spot drops by the cash amount D_i at each ex-date t_i,
// to max(S - D_i, 0) (the amount is capped at the spot, so a spot at 0 stays
// there: Haug, Haug and Lewis, "Back to basics: a new approach to the
// discrete dividend problem", Wilmott Magazine 2003).
//
// A schedule is shared by every option of a batch (one underlying). An
// option counts the dividends with t_i <= T: one on its expiry date is paid
// before the payoff, one after expiry is ignored. Without a dividend that
// counts, every function here is its continuous-yield namesake bit for bit
// (black_scholes_price, ...).
#pragma once

#include <span>

#include "tarvik/american.hpp"
#include "tarvik/errors.hpp"

namespace tarvik {

// Ex-dates in years from valuation (finite, > 0, strictly increasing: two
// amounts on one date are one dividend, their sum) and the cash amount of
// each (finite, >= 0), as of its ex-date. Empty: no dividends.
struct DividendSchedule {
  std::span<const double> times;
  std::span<const double> amounts;
};

// invalid_input naming the argument at fault ("dividend_times must be
// strictly increasing", ...), or nothing for a sound schedule.
Status check_dividend_schedule(const DividendSchedule& schedule);

// The discounted European price in the jump model, with the checks of
// black_scholes_price and of the schedule.
Result<double> european_price(double spot, double strike, double maturity, double rate,
                              double dividend, double volatility, bool is_call,
                              const DividendSchedule& schedule);

// The price and the Greeks of black_scholes_greeks (theta = dV/dt per year,
// dividend_rho = dV/dq for the yield q). The price field has the bits of
// european_price; delta and gamma differentiate its last expectation,
// theta follows from the Black-Scholes equation (no dividend falls in the
// next instant), the others are central differences of prices with
// Richardson's extrapolation. At zero volatility only the price is given,
// the sensitivities NaN.
Result<AmericanGreeks> european_greeks(double spot, double strike, double maturity, double rate,
                                       double dividend, double volatility, bool is_call,
                                       const DividendSchedule& schedule);

// The volatility whose european_price is `price`: price_below_intrinsic
// below the zero-volatility price, 0.0 at it, price_above_maximum at or above
// the limit as volatility grows (S e^(-qT) for a call, K e^(-rT) for a put).
Result<double> european_implied_volatility(double price, double spot, double strike,
                                           double maturity, double rate, double dividend,
                                           bool is_call, const DividendSchedule& schedule);

// American exercise in the same model, with the checks of american_price:
// without a dividend that counts, american_price and its kin bit for bit.
// With one: calls with dividend <= min(0, rate) (exercised only just before
// an ex-date, or now), puts with rate <= min(0, dividend) (never exercised
// early: the European price) and puts with rate > 0 and dividend >= 0
// (exercised between ex-dates, below one boundary); other American options
// are invalid_input for now.
Result<double> american_price_with_dividends(double spot, double strike, double maturity,
                                             double rate, double dividend, double volatility,
                                             bool is_call, const DividendSchedule& schedule);
Result<AmericanGreeks> american_greeks_with_dividends(double spot, double strike,
                                                      double maturity, double rate,
                                                      double dividend, double volatility,
                                                      bool is_call,
                                                      const DividendSchedule& schedule);
Result<double> american_implied_volatility_with_dividends(double price, double spot,
                                                          double strike, double maturity,
                                                          double rate, double dividend,
                                                          bool is_call,
                                                          const DividendSchedule& schedule);

}  // namespace tarvik
