// The shape of an eSSVI smile, w(k) = theta f(k) with phi = psi/theta:
//   f(k) = (1 + rho phi k + sqrt((phi k + rho)^2 + 1 - rho^2)) / 2,
//   f'(k) = phi (rho + (phi k + rho)/r) / 2,  f''(k) = phi^2 (1 - rho^2) / (2 r^3),
// r = sqrt((phi k + rho)^2 + 1 - rho^2). Linear in theta for a fixed shape,
// which the fit solves in closed form.
#pragma once

#include <cmath>

#include "tarvik/surface.hpp"

namespace tarvik::surface {

struct Shape {
  double rho, phi;

  // f alone (its slopes 0) or with them: the same f.
  template <bool Slopes = true>
  Variance at(double k) const {
    const double lift = phi * k + rho;
    const double spread = 1.0 - rho * rho;
    const double r = std::sqrt(lift * lift + spread);
    const double f = 0.5 * (1.0 + rho * phi * k + r);
    if constexpr (!Slopes) {
      return {f, 0.0, 0.0};
    } else {
      return {f, 0.5 * phi * (rho + lift / r), 0.5 * (phi * phi) * spread / (r * (r * r))};
    }
  }
  double value(double k) const { return at<false>(k).w; }
};

}  // namespace tarvik::surface
