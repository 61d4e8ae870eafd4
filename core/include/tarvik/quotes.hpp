// From quotes to what the models take: discount factors, the undiscounted
// price of a discounted quote, the theta of a discounted value, and each
// expiry's forward and discount factor from put-call parity.
#pragma once

#include <span>

namespace tarvik {

// exp(-(r T)): the discount factor of a continuously compounded rate r (per
// year) over T years.
double discount_factor(double rate, double maturity);

// The undiscounted price p / D of a quoted (discounted) price p.
double undiscounted_price(double price, double discount);

// -d/dT of D V, D = exp(-(r T)), from V's theta -dV/dT and price V:
// theta D + r (V D), the discounted value's time decay per year.
double discounted_theta(double theta, double price, double discount, double rate);

// The line C - P = D (F - K) through n >= 2 points (K_i, C_i - P_i) by least
// squares: D = -Sxy/Sxx over the centred sums, F = mean(K) + mean(C - P)/D,
// and the root-mean-square residual. F is NaN where D is 0; all three are
// NaN for fewer than two points or strikes all equal.
struct ParityLine {
  double forward;
  double discount;
  double residual;
};
ParityLine parity_line(std::span<const double> strikes, std::span<const double> differences);

}  // namespace tarvik
