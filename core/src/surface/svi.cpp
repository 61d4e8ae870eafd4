// Raw SVI: the smile, its butterfly condition and density, the surface's
// rule in T (see tarvik/surface.hpp).
#include <algorithm>
#include <cmath>
#include <limits>

#include "surface/line.hpp"
#include "tarvik/numeric.hpp"
#include "tarvik/surface.hpp"

namespace tarvik::surface {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr Variance kNoVariance{kNaN, kNaN, kNaN};

Variance scaled(const Variance& v, double x) { return {v.w * x, v.dw * x, v.d2w * x}; }

Variance blend(const Variance& lo, const Variance& hi, double x) {
  const double y = 1.0 - x;
  return {y * lo.w + x * hi.w, y * lo.dw + x * hi.dw, y * lo.d2w + x * hi.d2w};
}

}  // namespace

Variance svi_variance(const Svi& s, double k) {
  const double x = k - s.m;
  const double r = std::sqrt(x * x + s.sigma * s.sigma);
  return {s.a + s.b * (s.rho * x + r), s.b * (s.rho + x / r),
          s.b * (s.sigma * s.sigma) / (r * (r * r))};
}

double butterfly(double k, const Variance& v) {
  const double first = 1.0 - k * v.dw / (2.0 * v.w);
  return first * first - (v.dw * v.dw) / 4.0 * (1.0 / v.w + 0.25) + v.d2w / 2.0;
}

double log_moneyness_density(double k, const Variance& v) {
  if (!(v.w > 0.0)) return kNaN;
  const double root = std::sqrt(v.w);
  const double d2 = -k / root - root / 2.0;
  return butterfly(k, v) * kInvSqrtTwoPi / root * std::exp(-0.5 * (d2 * d2));
}

ButterflyMinimum smallest_butterfly(const Svi& s) {
  // g at y = (k - m)/sigma, z = sqrt(y^2 + 1): w = a + b sigma (rho y + z),
  // w' = b (rho + y/z), w'' = b / (sigma z^3).
  const LineMinimum low = line_minimum([&](double y, double z) {
    const double k = s.m + s.sigma * y;
    const Variance v{s.a + (s.b * s.sigma) * (s.rho * y + z), s.b * (s.rho + y / z),
                     s.b / (s.sigma * (z * (z * z)))};
    return butterfly(k, v);
  });
  if (std::isnan(low.value)) return {s.m + s.sigma * low.y, kNaN};
  ButterflyMinimum best{s.m + s.sigma * low.y, low.value};
  // The limits as k -> -inf and +inf: k w'/(2 w) -> 1/2 and w'^2/(4 w) -> 0.
  for (const double side : {-1.0, 1.0}) {
    const double slope = s.b * (1.0 + side * s.rho);
    const double limit = 0.25 - slope * slope / 16.0;
    if (limit < best.g) best = {side * std::numeric_limits<double>::infinity(), limit};
  }
  return best;
}

bool arbitrage_free(const Svi& s) {
  if (!(std::isfinite(s.a) && s.b >= 0.0 && std::isfinite(s.b) && std::fabs(s.rho) <= 1.0 &&
        std::isfinite(s.m) && s.sigma > 0.0 && std::isfinite(s.sigma))) {
    return false;
  }
  if (!(s.b * (1.0 + std::fabs(s.rho)) <= 2.0)) return false;
  // The smallest total variance, at k - m = -rho sigma / sqrt(1 - rho^2).
  if (!(s.a + s.b * s.sigma * std::sqrt(1.0 - s.rho * s.rho) > 0.0)) return false;
  return smallest_butterfly(s).g >= 0.0;
}

Variance surface_variance(Smile smile, std::span<const Slice> slices, double k, double t) {
  if (slices.empty() || !(t >= 0.0) || std::isinf(t) || std::isnan(k)) return kNoVariance;
  const Slice& first = slices.front();
  if (t <= first.maturity) {
    const Variance v = svi_variance(first.svi, k);
    return t == first.maturity ? v : scaled(v, t / first.maturity);
  }
  const Slice& last = slices.back();
  if (t >= last.maturity) {
    if (t == last.maturity) return svi_variance(last.svi, k);
    const double theta = svi_variance(last.svi, 0.0).w;
    double rate = theta / last.maturity;
    if (slices.size() > 1) {
      const Slice& before = slices[slices.size() - 2];
      rate = std::max(0.0, (theta - svi_variance(before.svi, 0.0).w) /
                               (last.maturity - before.maturity));
    }
    const double growth = (t - last.maturity) * rate;
    if (smile == Smile::Svi) {
      Variance v = svi_variance(last.svi, k);
      v.w = v.w + growth;
      return v;
    }
    const double l = (theta + growth) / theta;
    const Variance v = svi_variance(last.svi, k / l);
    return {l * v.w, v.dw, v.d2w / l};
  }
  const auto after = std::upper_bound(slices.begin(), slices.end(), t,
                                      [](double x, const Slice& s) { return x < s.maturity; });
  const Slice& hi = *after;
  const Slice& lo = *(after - 1);
  if (t == lo.maturity) return svi_variance(lo.svi, k);
  const double x = (t - lo.maturity) / (hi.maturity - lo.maturity);
  return blend(svi_variance(lo.svi, k), svi_variance(hi.svi, k), x);
}

}  // namespace tarvik::surface
