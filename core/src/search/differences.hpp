// Fourth-order central differences on five equally spaced values y[j] =
// f(x + (j - 2) h), j = 0..4 (Richardson's extrapolation of the three-point
// ones): the Greeks that the models without closed forms take from prices.
#pragma once

namespace tarvik::search {

// f'(x) + O(h^4).
inline double first_difference(const double* y, double h) {
  return (8.0 * (y[3] - y[1]) - (y[4] - y[0])) / (12.0 * h);
}

// f''(x) + O(h^4).
inline double second_difference(const double* y, double h) {
  return (16.0 * (y[3] + y[1]) - (y[4] + y[0]) - 30.0 * y[2]) / (12.0 * (h * h));
}

}  // namespace tarvik::search
