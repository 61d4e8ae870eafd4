#include "tarvik/rational/cubic.hpp"

#include <cmath>

#include "tarvik/rational/numeric.hpp"

namespace tarvik::rational {

double rational_cubic(double x, double x_l, double x_r, double y_l, double y_r,
                      double d_l, double d_r, double r) {
  const double h = x_r - x_l;
  if (h == 0.0) return 0.5 * (y_l + y_r);
  const double t = (x - x_l) / h;
  if (r >= kRationalCubicMaxControl) return y_r * t + y_l * (1.0 - t);
  const double u = 1.0 - t;
  // The powers are formed as t2 = t*t, t3 = t2*t, u2 = u*u, u3 = u2*u and each
  // term is multiplied left to right, e.g. ((r y_r - h d_r) t2) u.
  const double t2 = t * t;
  const double t3 = t2 * t;
  const double u2 = u * u;
  const double u3 = u2 * u;
  const double numerator = y_r * t3 + (r * y_r - h * d_r) * t2 * u +
                           (r * y_l + h * d_l) * t * u2 + y_l * u3;
  const double denominator = 1.0 + (r - 3.0) * t * u;
  return numerator / denominator;
}

double control_for_left_curvature(double x_l, double x_r, double y_l, double y_r,
                                  double d_l, double d_r, double c_l) {
  const double h = x_r - x_l;
  const double m = (y_r - y_l) / h;
  const double numerator = 0.5 * h * c_l + (d_r - d_l);
  if (std::fabs(numerator) < kMinNormal) return 0.0;
  const double denominator = m - d_l;
  if (std::fabs(denominator) < kMinNormal) {
    return numerator > 0.0 ? kRationalCubicMaxControl : kRationalCubicMinControl;
  }
  return numerator / denominator;
}

double control_for_right_curvature(double x_l, double x_r, double y_l, double y_r,
                                   double d_l, double d_r, double c_r) {
  const double h = x_r - x_l;
  const double m = (y_r - y_l) / h;
  const double numerator = 0.5 * h * c_r + (d_r - d_l);
  if (std::fabs(numerator) < kMinNormal) return 0.0;
  const double denominator = d_r - m;
  if (std::fabs(denominator) < kMinNormal) {
    return numerator > 0.0 ? kRationalCubicMaxControl : kRationalCubicMinControl;
  }
  return numerator / denominator;
}

double shape_control_minimum(double d_l, double d_r, double m, bool prefer_shape) {
  const bool monotone = d_l * m >= 0.0 && d_r * m >= 0.0;
  const bool convex = d_l <= m && m <= d_r;
  const bool concave = d_l >= m && m >= d_r;
  if (!monotone && !convex && !concave) return kRationalCubicMinControl;
  double r1 = -kMaxFinite;
  double r2 = -kMaxFinite;
  if (monotone) {
    if (std::fabs(m) >= kMinNormal) {
      r1 = (d_r + d_l) / m;
    } else if (prefer_shape) {
      r1 = kRationalCubicMaxControl;
    }
  }
  if (convex || concave) {
    const double left_gap = m - d_l;
    const double right_gap = d_r - m;
    if (std::fabs(left_gap) >= kMinNormal && std::fabs(right_gap) >= kMinNormal) {
      r2 = max_num(std::fabs((d_r - d_l) / right_gap), std::fabs((d_r - d_l) / left_gap));
    } else if (prefer_shape) {
      r2 = kRationalCubicMaxControl;
    }
  } else if (monotone && prefer_shape) {
    // End slopes on the wrong side of the secant: only the line keeps the shape.
    r2 = kRationalCubicMaxControl;
  }
  return max_num(kRationalCubicMinControl, max_num(r1, r2));
}

}  // namespace tarvik::rational
