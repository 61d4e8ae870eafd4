// A raw SVI smile's total variance, with or without its slopes, inline for
// the surface's loops (see tarvik/surface.hpp).
#pragma once

#include <cmath>

#include "tarvik/surface.hpp"

namespace tarvik::surface {

// w alone (its slopes 0) or with them: the same w.
template <bool Slopes>
inline Variance svi_at(const Svi& s, double k) {
  const double x = k - s.m;
  const double r = std::sqrt(x * x + s.sigma * s.sigma);
  const double w = s.a + s.b * (s.rho * x + r);
  if constexpr (!Slopes) {
    return {w, 0.0, 0.0};
  } else {
    return {w, s.b * (s.rho + x / r), s.b * (s.sigma * s.sigma) / (r * (r * r))};
  }
}

}  // namespace tarvik::surface
