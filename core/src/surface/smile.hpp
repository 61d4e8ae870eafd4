// A raw SVI smile's total variance, with or without its slopes, inline for
// the surface's loops (see tarvik/surface.hpp).
#pragma once

#include <cmath>

#include "tarvik/surface.hpp"

namespace tarvik::surface {

// w alone (its slopes 0) or with them (the same w), at x = k - m with
// r = sqrt(x^2 + sigma^2) given: a caller on a grid of x has r at hand.
template <bool Slopes>
inline Variance svi_from(const Svi& s, double x, double r) {
  const double w = s.a + s.b * (s.rho * x + r);
  if constexpr (!Slopes) {
    return {w, 0.0, 0.0};
  } else {
    return {w, s.b * (s.rho + x / r), s.b * (s.sigma * s.sigma) / (r * (r * r))};
  }
}

template <bool Slopes>
inline Variance svi_at(const Svi& s, double k) {
  const double x = k - s.m;
  return svi_from<Slopes>(s, x, std::sqrt(x * x + s.sigma * s.sigma));
}

}  // namespace tarvik::surface
