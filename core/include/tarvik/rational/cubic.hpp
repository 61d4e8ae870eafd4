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
// interpolant; growing r pulls it toward the chord, and r >= kRationalCubicMaxControl
// gives the chord exactly.
#pragma once

namespace tarvik::rational {

// -(1 - sqrt(eps)): the least control parameter any rule returns.
inline constexpr double kRationalCubicMinControl = -0.9999999850988388;
// 2/eps^2 = 2^105: from here on the interpolant is the straight line.
inline constexpr double kRationalCubicMaxControl = 4.056481920730334e31;

// The interpolant at x. A degenerate interval (x_l == x_r) gives the mean of
// the end values.
double rational_cubic(double x, double x_l, double x_r, double y_l, double y_r,
                      double d_l, double d_r, double r);

// The r that makes the second derivative at x_l equal to c_l.
double control_for_left_curvature(double x_l, double x_r, double y_l, double y_r,
                                  double d_l, double d_r, double c_l);

// The r that makes the second derivative at x_r equal to c_r.
double control_for_right_curvature(double x_l, double x_r, double y_l, double y_r,
                                   double d_l, double d_r, double c_r);

// The least r that keeps the interpolant monotone, convex or concave where
// the end slopes d_l, d_r and the secant slope m are. With prefer_shape, data
// that cannot be served by a finite r (vanishing secant, or end slopes on the
// wrong side of the secant) get the straight line.
double shape_control_minimum(double d_l, double d_r, double m, bool prefer_shape);

}  // namespace tarvik::rational
