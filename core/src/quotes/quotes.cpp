// Discounting and put-call parity. The parity line is ordinary least
// squares in the centred form (two passes over the points: the means, then
// the sums of products about them), which keeps the strikes' magnitude out
// of the slope's rounding; the forward is taken about the mean strike,
// F = mean(K) + mean(C - P)/D, rather than as intercept/D, which would
// cancel D mean(K) against itself.
#include "tarvik/elementary.hpp"
#include "tarvik/quotes.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

namespace tarvik {

double discount_factor(double rate, double maturity) { return elementary::exp(-(rate * maturity)); }

double undiscounted_price(double price, double discount) { return price / discount; }

double discounted_theta(double theta, double price, double discount, double rate) {
  return theta * discount + rate * (price * discount);
}

ParityLine parity_line(std::span<const double> strikes, std::span<const double> differences) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  const std::size_t n = strikes.size();
  if (n < 2 || differences.size() != n) return {kNaN, kNaN, kNaN};
  const double count = static_cast<double>(n);
  double k_sum = 0.0, y_sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    k_sum += strikes[i];
    y_sum += differences[i];
  }
  const double k_mean = k_sum / count, y_mean = y_sum / count;
  double sxx = 0.0, sxy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double dk = strikes[i] - k_mean;
    sxx += dk * dk;
    sxy += dk * (differences[i] - y_mean);
  }
  if (!(sxx > 0.0)) return {kNaN, kNaN, kNaN};
  const double discount = -(sxy / sxx);
  double squares = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double miss = differences[i] - (y_mean - discount * (strikes[i] - k_mean));
    squares += miss * miss;
  }
  const double forward = discount != 0.0 ? k_mean + y_mean / discount : kNaN;
  return {forward, discount, std::sqrt(squares / count)};
}

}  // namespace tarvik
