// A value function of the spot in strike units: 1 - s at and below its
// exercise boundary b, Chebyshev panels in x = ln s above it up to a top,
// 0 beyond (a put's value after a dividend, exercise_boundary.cpp). Each panel is
// fitted at the Chebyshev points of the first kind and halved until the
// last three coefficients fall below a tolerance (the coefficients of a
// function analytic in a Bernstein ellipse decay geometrically: Trefethen,
// "Approximation Theory and Approximation Practice", 2013, chapter 8); the
// derivatives' coefficients by the recurrence c'_{k-1} = c'_{k+1} + 2k c_k.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <utility>
#include <vector>

#include "tarvik/elementary.hpp"

namespace tarvik::dividends {

inline constexpr int kDegree = 24;            // a panel's Chebyshev degree
inline constexpr double kTail = 1e-12;        // its last three coefficients' sum, at most
inline constexpr double kLooseTail = 1e-10;   // the same below where the spot reaches
inline constexpr double kNarrowest = 1e-6;    // a panel's least width in ln S
inline constexpr std::size_t kMostPanels = 4096;

struct Panels {
  double b = 1.0;
  std::vector<double> edges;  // panel i is [edges[i], edges[i + 1]]
  std::vector<double> c, c1, c2;  // per panel: the coefficients of F, F_x, F_xx

  double top() const { return edges.empty() ? elementary::log(b) : edges.back(); }

  // F and, to `order` (0, 1 or 2), dF/ds and d2F/ds2 at s.
  void at(double s, int order, double& f, double& fs, double& fss) const {
    fs = fss = 0.0;
    if (!(s > b)) {
      f = 1.0 - s;
      fs = -1.0;
      return;
    }
    const double x = elementary::log(s);
    if (edges.size() < 2 || !(x < edges.back()) || x < edges.front()) {
      f = 0.0;
      return;
    }
    const std::size_t i = static_cast<std::size_t>(
        std::upper_bound(edges.begin(), edges.end(), x) - edges.begin() - 1);
    const double a = edges[i], e = edges[i + 1];
    const double t = (2.0 * x - (a + e)) / (e - a);
    const std::size_t at = i * (kDegree + 1);
    f = clenshaw(&c[at], kDegree, t);
    if (order == 0) return;
    const double vx = clenshaw(&c1[at], kDegree, t);
    fs = vx / s;
    if (order == 1) return;
    fss = (clenshaw(&c2[at], kDegree, t) - vx) / (s * s);
  }

  static double clenshaw(const double* a, int n, double t) {
    double b1 = 0.0, b2 = 0.0;
    for (int k = n; k >= 1; --k) {
      const double b0 = a[k] + (2.0 * t * b1 - b2);
      b2 = b1;
      b1 = b0;
    }
    return a[0] + (t * b1 - b2);
  }
};

// The coefficients of the derivative of a Chebyshev series on [-1, 1]
// (out has n + 1 entries, the last 0).
inline void differentiate(const double* a, int n, double scale, double* out) {
  out[n] = 0.0;
  double next = 0.0, after = 0.0;  // out[k + 1], out[k + 2] before scaling
  for (int k = n - 1; k >= 0; --k) {
    const double d = after + 2.0 * (k + 1) * a[k + 1];
    out[k] = d;
    after = next;
    next = d;
  }
  out[0] *= 0.5;
  for (int k = 0; k < n; ++k) out[k] *= scale;
}

// Panels of f (called on kDegree + 1 spots at a time) over [ln b, top],
// pieces of `width` above `low` at first (one piece below it), halved until
// their tails are below kTail (kLooseTail below `low`, where the spot does
// not reach).
template <class Fn>
bool fit_panels(const Fn& f, double b, double low, double top, double width, Panels& out) {
  out = Panels{};
  out.b = b;
  double lo = elementary::log(b);
  constexpr int m = kDegree + 1;
  double nodes[m];
  // cos(j pi (k + 1/2) / m): the nodes (j = 1) and the transform to coefficients.
  std::vector<double> cosines(static_cast<std::size_t>(m) * m);
  for (int j = 0; j < m; ++j) {
    for (int k = 0; k < m; ++k) {
      cosines[static_cast<std::size_t>(j) * m + k] =
          elementary::cos(std::numbers::pi * j * (k + 0.5) / m);
    }
  }
  for (int k = 0; k < m; ++k) nodes[k] = cosines[static_cast<std::size_t>(m) + k];
  const double pieces = std::max(1.0, std::ceil((top - std::max(lo, low)) / width));
  if (!(pieces < static_cast<double>(kMostPanels))) return false;
  std::vector<std::pair<double, double>> stack;
  const int n = static_cast<int>(pieces);
  const double from = std::max(lo, std::min(low, top));
  for (int i = n - 1; i >= 0; --i) {
    stack.emplace_back(from + (top - from) * i / n,
                       i + 1 == n ? top : from + (top - from) * (i + 1) / n);
  }
  if (from > lo) stack.emplace_back(lo, from);
  double spots[m], values[m], a[m], d1[m], d2[m];
  while (!stack.empty()) {
    const auto [x0, x1] = stack.back();
    stack.pop_back();
    for (int k = 0; k < m; ++k) spots[k] = elementary::exp(0.5 * (x0 + x1) + 0.5 * (x1 - x0) * nodes[k]);
    if (!f(spots, m, values)) return false;
    for (int j = 0; j < m; ++j) {
      double sum = 0.0;
      for (int k = 0; k < m; ++k) sum += values[k] * cosines[static_cast<std::size_t>(j) * m + k];
      a[j] = (j == 0 ? 1.0 : 2.0) / m * sum;
    }
    const double tail = std::fabs(a[m - 1]) + std::fabs(a[m - 2]) + std::fabs(a[m - 3]);
    if (tail > (x1 <= low ? kLooseTail : kTail) && x1 - x0 > kNarrowest) {
      const double mid = 0.5 * (x0 + x1);
      stack.emplace_back(mid, x1);
      stack.emplace_back(x0, mid);
      if (out.edges.size() + stack.size() > kMostPanels) return false;
      continue;
    }
    const double scale = 2.0 / (x1 - x0);
    differentiate(a, kDegree, scale, d1);
    differentiate(d1, kDegree, scale, d2);
    out.edges.push_back(x0);
    out.c.insert(out.c.end(), a, a + m);
    out.c1.insert(out.c1.end(), d1, d1 + m);
    out.c2.insert(out.c2.end(), d2, d2 + m);
    if (stack.empty()) out.edges.push_back(x1);
  }
  return true;
}

}  // namespace tarvik::dividends
