// Fourth-order central differences on five equally spaced values y[j] =
// f(x + (j - 2) h), j = 0..4 (Richardson's extrapolation of the three-point
// ones): the Greeks that the models without closed forms take from prices.
#pragma once

#include <cmath>
#include <limits>

namespace tarvik::search {

// Whether a step resolves these formulas: h^2, by which the second
// differences divide, is a normal number (not so below some 1e-154, nor at
// h = 0, where a step of 1% of a volatility of 5e-324 rounds).
inline bool resolves(double h) { return h * h >= std::numeric_limits<double>::min(); }

// f'(x) + O(h^4).
inline double first_difference(const double* y, double h) {
  return (8.0 * (y[3] - y[1]) - (y[4] - y[0])) / (12.0 * h);
}

// f''(x) + O(h^4).
inline double second_difference(const double* y, double h) {
  return (16.0 * (y[3] + y[1]) - (y[4] + y[0]) - 30.0 * y[2]) / (12.0 * (h * h));
}

// f'(x) + O(h^4) from y[j] = f(x + j h), j = 0..4, one-sided (h < 0 for
// the side below x).
inline double one_sided_first(const double* y, double h) {
  return (-25.0 * y[0] + 48.0 * y[1] - 36.0 * y[2] + 16.0 * y[3] - 3.0 * y[4]) / (12.0 * h);
}

// f''(x) + O(h^4) from y[j] = f(x + j h), j = 0..5, one-sided.
inline double one_sided_second(const double* y, double h) {
  return (45.0 * y[0] - 154.0 * y[1] + 214.0 * y[2] - 156.0 * y[3] + 61.0 * y[4] - 10.0 * y[5]) /
         (12.0 * (h * h));
}

// The derivative of f at x by central differences with Richardson's
// extrapolation, (8 (f(x+h) - f(x-h)) - (f(x+2h) - f(x-2h))) / (12 h), or,
// where the stencil would leave the regime (same(x) false), the
// fourth-order one-sided formula on the side that stays in it. f returns NaN
// where it fails; where a point of the central stencil fails (a price
// refused there), the one-sided formula on a side whose points all hold,
// upward first; NaN where none does.
template <class F, class Same>
double derivative(F f, double x, double h, double f0, Same same) {
  const bool down = same(x - 2.0 * h);
  const bool up = same(x + 2.0 * h);
  if (down && up) {
    const double y[] = {f(x - 2.0 * h), f(x - h), f0, f(x + h), f(x + 2.0 * h)};
    const double central = first_difference(y, h);
    if (!std::isnan(central)) return central;
  }
  auto one_sided = [&](double step) {
    const double y[] = {f0, f(x + step), f(x + 2.0 * step), f(x + 3.0 * step),
                        f(x + 4.0 * step)};
    return one_sided_first(y, step);
  };
  const double upward = up ? one_sided(h) : std::numeric_limits<double>::quiet_NaN();
  if (!std::isnan(upward) || !down) return upward;
  return one_sided(-h);
}

}  // namespace tarvik::search
