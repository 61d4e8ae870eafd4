#include "dividends/gauss.hpp"

namespace tarvik::dividends {
namespace {

// Points of the rules: 12 Legendre points on a panel of at most one
// standard deviation integrate the smooth expectations to some 1e-16; 24
// Hermite points an expectation over a move narrower than the one it is
// taken over (dividends/recursion.cpp).
constexpr int kLegendrePoints = 12;
constexpr int kHermitePoints = 24;

// p_n(x) of the recurrence with coefficients b(k), and sum_{k<n} p_k(x)^2.
template <class B>
double orthonormal(int n, double x, B b, double* squares = nullptr) {
  double prev = 0.0;
  double p = 1.0;
  double sum = 0.0;
  for (int k = 0; k < n; ++k) {
    sum += p * p;
    const double next = (x * p - b(k) * prev) / b(k + 1);
    prev = p;
    p = next;
  }
  if (squares) *squares = sum;
  return p;
}

template <class B>
GaussRule make_rule(int n, double lo, double hi, double total, B b) {
  GaussRule rule;
  const int steps = 4000;
  double x0 = lo;
  double f0 = orthonormal(n, x0, b);
  for (int i = 1; i <= steps; ++i) {
    const double x1 = lo + (hi - lo) * i / steps;
    const double f1 = orthonormal(n, x1, b);
    if ((f0 < 0.0) != (f1 < 0.0)) {
      double a = x0, fa = f0, c = x1;
      for (int it = 0; it < 200 && c - a > 0.0; ++it) {
        const double m = 0.5 * (a + c);
        if (m <= a || m >= c) break;
        const double fm = orthonormal(n, m, b);
        if ((fm < 0.0) == (fa < 0.0)) {
          a = m;
          fa = fm;
        } else {
          c = m;
        }
      }
      const double root = 0.5 * (a + c);
      double squares = 0.0;
      orthonormal(n, root, b, &squares);
      rule.x.push_back(root);
      rule.w.push_back(total / squares);
    }
    x0 = x1;
    f0 = f1;
  }
  return rule;
}

}  // namespace

GaussRule legendre_rule_of(int n) {
  // Legendre, dx/2 on [-1, 1]: b_k = k / sqrt(4 k^2 - 1).
  return make_rule(n, -1.0, 1.0, 2.0,
                   [](int k) { return k == 0 ? 1.0 : k / std::sqrt(4.0 * k * k - 1.0); });
}

const GaussRule& legendre_rule() {
  static const GaussRule rule = legendre_rule_of(kLegendrePoints);
  return rule;
}

const GaussRule& hermite_rule() {
  // Hermite, the standard normal density: b_k = sqrt(k).
  static const GaussRule rule = make_rule(kHermitePoints, -12.0, 12.0, 1.0, [](int k) {
    return k == 0 ? 1.0 : std::sqrt(static_cast<double>(k));
  });
  return rule;
}

}  // namespace tarvik::dividends
