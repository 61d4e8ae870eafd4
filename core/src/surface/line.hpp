// The smallest value of a smooth function over the whole real line, for the
// smiles' arbitrage conditions: sampled at y = sinh(u) for u over
// [-kReachU, kReachU] (0.2 apart: fine near the centre, relative steps of
// some 20% far from it, as the smiles' features widen), then refined by
// golden-section search over the two grid cells around each grid minimum.
// f(y, z) takes y and z = cosh(u) = sqrt(y^2 + 1) (the grid's from a table),
// so a caller maps k = centre + scale y itself; the limits at +-inf are the
// caller's.
#pragma once

#include <cmath>
#include <limits>

#include "tarvik/elementary.hpp"

namespace tarvik::surface {

inline constexpr double kReachU = 12.0;  // |y| up to some 8e4
inline constexpr int kGridPoints = 121;

struct GridPoints {
  double u[kGridPoints], y[kGridPoints], z[kGridPoints];
  GridPoints() {
    for (int i = 0; i < kGridPoints; ++i) {
      u[i] = -kReachU + (2.0 * kReachU / (kGridPoints - 1)) * i;
      y[i] = elementary::sinh(u[i]);
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

// Stride 2 takes every other grid point (0.4 apart in u), for a function
// whose features are no narrower than a centre's scale.
template <int Stride = 1, class F>
LineMinimum line_minimum(const F& f) {
  static_assert((kGridPoints - 1) % Stride == 0);
  const auto at = [&](double u) {
    const double y = elementary::sinh(u);
    return f(y, std::sqrt(y * y + 1.0));
  };
  const GridPoints& grid = grid_points();
  LineMinimum best{std::numeric_limits<double>::quiet_NaN(),
                   std::numeric_limits<double>::infinity()};
  double previous = f(grid.y[0], grid.z[0]), current = f(grid.y[Stride], grid.z[Stride]);
  if (previous < best.value) best = {grid.y[0], previous};
  for (int i = Stride; i + Stride < kGridPoints; i += Stride) {
    const double next = f(grid.y[i + Stride], grid.z[i + Stride]);
    if (std::isnan(current)) return {grid.y[i], current};
    if (!(current <= previous && current <= next)) {
      previous = current;
      current = next;
      continue;
    }
    // Golden-section search over [u - step, u + step], to 1e-8 in u: the
    // function is smooth there, so its minimum is found to some 1e-16.
    constexpr double kGolden = 0.6180339887498949;
    double lo = grid.u[i - Stride], hi = grid.u[i + Stride];
    double p = hi - kGolden * (hi - lo), q = lo + kGolden * (hi - lo);
    double fp = at(p), fq = at(q);
    while (hi - lo > 1e-8) {
      if (fp <= fq) {
        hi = q;
        q = p;
        fq = fp;
        p = hi - kGolden * (hi - lo);
        fp = at(p);
      } else {
        lo = p;
        p = q;
        fp = fq;
        q = lo + kGolden * (hi - lo);
        fq = at(q);
      }
    }
    const double found = std::min({fp, fq, current});
    if (found < best.value) {
      best = {found == current ? grid.y[i] : elementary::sinh(fp <= fq ? p : q), found};
    }
    previous = current;
    current = next;
  }
  if (current < best.value) best = {grid.y[kGridPoints - 1], current};
  return best;
}

}  // namespace tarvik::surface
