// Rational cubic Hermite interpolation with one shape parameter, and the
// rules that choose that parameter (Delbourgo and Gregory, "Shape preserving
// piecewise rational interpolation", SIAM J. Sci. Stat. Comput. 6, 1985, in
// the form used by Jaeckel's "Let's Be Rational" for its initial guesses).
//
// On [x_l, x_r] with end values y_l, y_r and end slopes d_l, d_r the
// interpolant is
//   (y_r t^3 + (r y_r - h d_r) t^2 u + (r y_l + h d_l) t u^2 + y_l u^3)
//     / (1 + (r - 3) t u),
// h = x_r - x_l, t = (x - x_l)/h, u = 1 - t. r = 3 is the cubic Hermite
// interpolant; growing r pulls it toward the chord, and
// r >= kRationalCubicMaxControl gives the chord exactly.
//
// Defined inline: the solver's initial guess calls all four once per
// inversion, and expanding them in place there is measurably faster.
#pragma once

#include <cmath>

#include "tarvik/numeric.hpp"

namespace tarvik::rational {

// -(1 - sqrt(eps)): the least control parameter any rule returns.
inline constexpr double kRationalCubicMinControl = -0.9999999850988388;
// 2/eps^2 = 2^105: from here on the interpolant is the straight line.
inline constexpr double kRationalCubicMaxControl = 4.056481920730334e31;

// The interpolant at x. A degenerate interval (x_l == x_r) gives the mean of
// the end values.
inline double rational_cubic(double x, double x_l, double x_r, double y_l, double y_r, double d_l,
                             double d_r, double r) {
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
  const double numerator =
      y_r * t3 + (r * y_r - h * d_r) * t2 * u + (r * y_l + h * d_l) * t * u2 + y_l * u3;
  const double denominator = 1.0 + (r - 3.0) * t * u;
  return numerator / denominator;
}

// The r for a prescribed second derivative: numerator h c/2 + (d_r - d_l)
// over the given denominator; a vanishing numerator gives 0 and a vanishing
// denominator the extreme control of the numerator's sign.
inline double curvature_control(double numerator, double denominator) {
  if (std::fabs(numerator) < kMinNormal) return 0.0;
  if (std::fabs(denominator) < kMinNormal) {
    return numerator > 0.0 ? kRationalCubicMaxControl : kRationalCubicMinControl;
  }
  return numerator / denominator;
}

// The r that makes the second derivative at x_l equal to c_l.
inline double control_for_left_curvature(double x_l, double x_r, double y_l, double y_r, double d_l,
                                         double d_r, double c_l) {
  const double h = x_r - x_l;
  const double m = (y_r - y_l) / h;
  return curvature_control(0.5 * h * c_l + (d_r - d_l), m - d_l);
}

// The r that makes the second derivative at x_r equal to c_r.
inline double control_for_right_curvature(double x_l, double x_r, double y_l, double y_r,
                                          double d_l, double d_r, double c_r) {
  const double h = x_r - x_l;
  const double m = (y_r - y_l) / h;
  return curvature_control(0.5 * h * c_r + (d_r - d_l), d_r - m);
}

// The least r that keeps the interpolant monotone, convex or concave where
// the end slopes d_l, d_r and the secant slope m are. With prefer_shape, data
// that cannot be served by a finite r (vanishing secant, or end slopes on the
// wrong side of the secant) get the straight line.
inline double shape_control_minimum(double d_l, double d_r, double m, bool prefer_shape) {
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
