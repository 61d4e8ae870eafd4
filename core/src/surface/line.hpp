// The smallest value of a smooth function over the whole real line, for the
// smiles' arbitrage conditions: sampled at y = sinh(u) for u over
// [-kReachU, kReachU] (0.2 apart: fine near the centre, relative steps of
// some 20% far from it, as the smiles' features widen), then refined by
// golden-section search over the two grid cells around each grid minimum.
// f(y, z) takes y and z = cosh(u) = sqrt(y^2 + 1) (the grid's from a table),
// so a caller maps k = centre + scale y itself; the limits at +-inf are the
// caller's.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>

#include "tarvik/elementary.hpp"

namespace tarvik::surface {

inline constexpr double kReachU = 12.0;  // |y| up to some 8e4
inline constexpr int kGridPoints = 121;
inline constexpr double kSmallScale = 0.1;  // in k: a grid's below it reaches only 8e3

// Whether the grid about `centre` at `scale` (k = centre + scale y) is finer
// than the grid at unit scale about 0 (every other point, k = y) at every k
// and reaches past 8e3: its spacing near k, 0.2 sqrt((k - centre)^2 +
// scale^2), is below the other's, 0.4 sqrt(k^2 + 1), for every k iff
// (4/3) centre^2 + scale^2 < 4. Then the grid at unit scale adds nothing.
inline bool finer_than_unit_scale(double centre, double scale) {
  return scale >= kSmallScale && (4.0 / 3.0) * (centre * centre) + scale * scale < 4.0;
}

struct GridPoints {
  double y[kGridPoints], z[kGridPoints];
  GridPoints() {
    for (int i = 0; i < kGridPoints; ++i) {
      y[i] = elementary::sinh(-kReachU + (2.0 * kReachU / (kGridPoints - 1)) * i);
      z[i] = std::sqrt(y[i] * y[i] + 1.0);
    }
  }
};

inline const GridPoints& grid_points() {
  static const GridPoints grid;
  return grid;
}

// The smallest f and its y; a NaN value of f ends the search with it.
struct LineMinimum {
  double y, value;
};

// The minimum of f over [lo, hi] from x inside it (f(x) = fx), by Brent's
// method to within 1e-9 (relative, beyond 1) of its abscissa.
template <class F>
LineMinimum brent(const F& f, double lo, double hi, double x, double fx) {
  constexpr double kGolden = 0.3819660112501051;  // (3 - sqrt 5) / 2
  const double kTol = 1e-9 * std::max({1.0, std::fabs(lo), std::fabs(hi)});
  double w = x, v = x, fw = fx, fv = fx;
  double d = 0.0, e = 0.0;
  for (int it = 0; it < 100; ++it) {
    const double mid = 0.5 * (lo + hi);
    if (std::fabs(x - mid) <= 2.0 * kTol - 0.5 * (hi - lo)) break;
    bool golden = true;
    if (std::fabs(e) > kTol) {  // a parabola through x, w, v
      double r = (x - w) * (fx - fv);
      double q = (x - v) * (fx - fw);
      double p = (x - v) * q - (x - w) * r;
      q = 2.0 * (q - r);
      if (q > 0.0) p = -p;
      q = std::fabs(q);
      if (std::fabs(p) < std::fabs(0.5 * q * e) && p > q * (lo - x) && p < q * (hi - x)) {
        e = d;
        d = p / q;
        const double u = x + d;
        if (u - lo < 2.0 * kTol || hi - u < 2.0 * kTol) d = x < mid ? kTol : -kTol;
        golden = false;
      }
    }
    if (golden) {
      e = (x < mid ? hi : lo) - x;
      d = kGolden * e;
    }
    const double u = std::fabs(d) >= kTol ? x + d : x + (d > 0.0 ? kTol : -kTol);
    const double fu = f(u);
    if (fu <= fx) {
      (u < x ? hi : lo) = x;
      v = w;
      fv = fw;
      w = x;
      fw = fx;
      x = u;
      fx = fu;
    } else {
      (u < x ? lo : hi) = u;
      if (fu <= fw || w == x) {
        v = w;
        fv = fw;
        w = u;
        fw = fu;
      } else if (fu <= fv || v == x || v == w) {
        v = u;
        fv = fu;
      }
    }
  }
  return {x, fx};
}

// Stride 2 takes every other grid point (0.4 apart in u), for a function
// whose features are no narrower than a centre's scale. A value below
// `enough` ends the search with it (a caller asking only whether f falls
// below it).
template <int Stride = 1, class F>
LineMinimum line_minimum(const F& f, double enough = -std::numeric_limits<double>::infinity()) {
  static_assert((kGridPoints - 1) % Stride == 0);
  const auto at = [&](double y) { return f(y, std::sqrt(y * y + 1.0)); };
  const GridPoints& grid = grid_points();
  LineMinimum best{std::numeric_limits<double>::quiet_NaN(),
                   std::numeric_limits<double>::infinity()};
  double previous = f(grid.y[0], grid.z[0]), current = f(grid.y[Stride], grid.z[Stride]);
  if (previous < best.value) best = {grid.y[0], previous};
  for (int i = Stride; i + Stride < kGridPoints; i += Stride) {
    const double next = f(grid.y[i + Stride], grid.z[i + Stride]);
    if (std::isnan(current)) return {grid.y[i], current};
    if (best.value < enough) return best;
    if (!(current <= previous && current <= next)) {
      previous = current;
      current = next;
      continue;
    }
    // Brent's minimisation (golden sections and parabolic steps; Brent,
    // "Algorithms for Minimization without Derivatives", 1973, ch. 5) over
    // the two grid cells around the grid point, in y, to some 1e-9 of y:
    // the function is smooth there, so its minimum is found to some 1e-16.
    const LineMinimum m = brent(at, grid.y[i - Stride], grid.y[i + Stride], grid.y[i], current);
    if (m.value < best.value) best = m;
    previous = current;
    current = next;
  }
  if (current < best.value) best = {grid.y[kGridPoints - 1], current};
  return best;
}

}  // namespace tarvik::surface
