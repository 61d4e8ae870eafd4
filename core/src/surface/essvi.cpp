// The eSSVI smile (see tarvik/surface.hpp).
#include <cmath>

#include "surface/essvi_shape.hpp"
#include "tarvik/surface.hpp"

namespace tarvik::surface {

Variance essvi_variance(const Essvi& e, double k) {
  const Variance f = Shape{e.rho, e.psi / e.theta}.at(k);
  return {e.theta * f.w, e.theta * f.dw, e.theta * f.d2w};
}

Svi to_svi(const Essvi& e) {
  if (e.psi == 0.0) return {e.theta, 0.0, 0.0, 0.0, 1.0};
  const double root = std::sqrt(1.0 - e.rho * e.rho);
  return {0.5 * e.theta * (1.0 - e.rho * e.rho), 0.5 * e.psi, e.rho, -e.rho * e.theta / e.psi,
          e.theta * root / e.psi};
}

}  // namespace tarvik::surface
