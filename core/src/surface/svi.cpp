// Raw SVI: the smile, its butterfly condition, its density and the smallest
// g over the line (see tarvik/surface.hpp).
#include <algorithm>
#include <cmath>
#include <limits>

#include "surface/line.hpp"
#include "surface/smile.hpp"
#include "tarvik/elementary.hpp"
#include "tarvik/numeric.hpp"
#include "tarvik/surface.hpp"

namespace tarvik::surface {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

Variance svi_variance(const Svi& s, double k) { return svi_at<true>(s, k); }

double butterfly(double k, const Variance& v) {
  const double first = 1.0 - k * v.dw / (2.0 * v.w);
  return first * first - (v.dw * v.dw) / 4.0 * (1.0 / v.w + 0.25) + v.d2w / 2.0;
}

double log_moneyness_density(double k, const Variance& v) {
  if (!(v.w > 0.0)) return kNaN;
  const double root = std::sqrt(v.w);
  const double d2 = -k / root - root / 2.0;
  return butterfly(k, v) * kInvSqrtTwoPi / root * elementary::exp(-0.5 * (d2 * d2));
}

namespace {

// The smallest g, or the first g found below `enough`.
ButterflyMinimum smallest(const Svi& s, double enough) {
  // The limits as k -> -inf and +inf: k w'/(2 w) -> 1/2 and w'^2/(4 w) -> 0;
  // they answer first a caller asking only whether g falls below `enough`.
  ButterflyMinimum limit{kNaN, std::numeric_limits<double>::infinity()};
  for (const double side : {-1.0, 1.0}) {
    const double slope = s.b * (1.0 + side * s.rho);
    const double g = 0.25 - slope * slope / 16.0;
    if (g < limit.g) limit = {side * std::numeric_limits<double>::infinity(), g};
  }
  if (limit.g < enough) return limit;
  // g at y = (k - m)/sigma: x = sigma y and r = sigma z, z = sqrt(y^2 + 1)
  // from the grid.
  const LineMinimum low = line_minimum(
      [&](double y, double z) {
        return butterfly(s.m + s.sigma * y, svi_from<true>(s, s.sigma * y, s.sigma * z));
      },
      enough);
  ButterflyMinimum best{s.m + s.sigma * low.y, low.value};
  if (std::isnan(low.value) || low.value < enough) return best;
  // And about k = 0 at unit scale, unless the grid above is finer there: g
  // has features at the scale of k itself (k w'/(2w)), which a small sigma's
  // grid may miss.
  if (!finer_than_unit_scale(s.m, s.sigma)) {
    const LineMinimum wide = line_minimum<2>(
        [&](double y, double) { return butterfly(y, svi_variance(s, y)); }, enough);
    if (std::isnan(wide.value)) return {wide.y, kNaN};
    if (wide.value < best.g) best = {wide.y, wide.value};
  }
  return limit.g < best.g ? limit : best;
}

}  // namespace

ButterflyMinimum smallest_butterfly(const Svi& s) {
  return smallest(s, -std::numeric_limits<double>::infinity());
}

bool arbitrage_free(const Svi& s) {
  if (!(std::isfinite(s.a) && s.b >= 0.0 && std::isfinite(s.b) && std::fabs(s.rho) <= 1.0 &&
        std::isfinite(s.m) && s.sigma > 0.0 && std::isfinite(s.sigma))) {
    return false;
  }
  if (!(s.b * (1.0 + std::fabs(s.rho)) <= 2.0)) return false;
  // The smallest total variance, at k - m = -rho sigma / sqrt(1 - rho^2).
  if (!(s.a + s.b * s.sigma * std::sqrt(1.0 - s.rho * s.rho) > 0.0)) return false;
  return smallest(s, 0.0).g >= 0.0;
}

}  // namespace tarvik::surface
