// Gauss rules from the three-term recurrence of the orthonormal
// polynomials, x p_k = b_{k+1} p_{k+1} + b_k p_{k-1} (Golub and Welsch,
// Math. Comp. 23, 1969, section 2): the nodes are the zeros of p_n, found by
// a scan for sign changes and bisection, and the weights the Christoffel
// numbers 1 / sum_{k<n} p_k(x)^2 of the recurrence's probability measure.
#pragma once

#include <cmath>
#include <vector>

namespace tarvik::dividends {

struct GaussRule {
  std::vector<double> x, w;
};

// Gauss-Legendre on [-1, 1] (weights summing to 2) and Gauss-Hermite for
// the standard normal density (weights summing to 1).
const GaussRule& legendre_rule();
const GaussRule& hermite_rule();
// Gauss-Legendre with n points (built on each call: callers keep it).
GaussRule legendre_rule_of(int n);

}  // namespace tarvik::dividends
