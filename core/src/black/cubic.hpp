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
// Templates over the value type (value.hpp): the scalar solver and the lane
// kernels share them; the scalar path expands them in place.
#pragma once

#include "special/value.hpp"
#include "tarvik/numeric.hpp"

namespace tarvik::rational {

// -(1 - sqrt(eps)): the least control parameter any rule returns.
inline constexpr double kRationalCubicMinControl = -0.9999999850988388;
// 2/eps^2 = 2^105: from here on the interpolant is the straight line.
inline constexpr double kRationalCubicMaxControl = 4.056481920730334e31;

namespace {

// The interpolant at x. A degenerate interval (x_l == x_r) gives the mean of
// the end values. The powers are formed as t2 = t*t, t3 = t2*t, u2 = u*u,
// u3 = u2*u and each term is multiplied left to right, e.g. ((r y_r - h d_r) t2) u.
template <class V>
[[gnu::always_inline]] inline V rational_cubic(V x, V x_l, V x_r, V y_l, V y_r, V d_l, V d_r, V r) {
  const V h = x_r - x_l;
  const V t = (x - x_l) / h;
  const V u = 1.0 - t;
  const V t2 = t * t;
  const V t3 = t2 * t;
  const V u2 = u * u;
  const V u3 = u2 * u;
  const V numerator =
      y_r * t3 + (r * y_r - h * d_r) * t2 * u + (r * y_l + h * d_l) * t * u2 + y_l * u3;
  const V denominator = 1.0 + (r - 3.0) * t * u;
  V v = numerator / denominator;
  v = select(r >= kRationalCubicMaxControl, y_r * t + y_l * (1.0 - t), v);
  return select(h == 0.0, 0.5 * (y_l + y_r), v);
}

// The r for a prescribed second derivative: numerator h c/2 + (d_r - d_l)
// over the given denominator; a vanishing numerator gives 0 and a vanishing
// denominator the extreme control of the numerator's sign.
template <class V>
[[gnu::always_inline]] inline V curvature_control(V numerator, V denominator) {
  V r = numerator / denominator;
  r = select(abs_of(denominator) < kMinNormal,
             select(numerator > 0.0, splat<V>(kRationalCubicMaxControl),
                    splat<V>(kRationalCubicMinControl)),
             r);
  return select(abs_of(numerator) < kMinNormal, 0.0, r);
}

// The r that makes the second derivative at x_l equal to c_l.
template <class V>
[[gnu::always_inline]] inline V control_for_left_curvature(V x_l, V x_r, V y_l, V y_r, V d_l, V d_r,
                                                           V c_l) {
  const V h = x_r - x_l;
  const V m = (y_r - y_l) / h;
  return curvature_control(0.5 * h * c_l + (d_r - d_l), m - d_l);
}

// The r that makes the second derivative at x_r equal to c_r.
template <class V>
[[gnu::always_inline]] inline V control_for_right_curvature(V x_l, V x_r, V y_l, V y_r, V d_l,
                                                            V d_r, V c_r) {
  const V h = x_r - x_l;
  const V m = (y_r - y_l) / h;
  return curvature_control(0.5 * h * c_r + (d_r - d_l), d_r - m);
}

// The least r that keeps the interpolant monotone, convex or concave where
// the end slopes d_l, d_r and the secant slope m are. With kPreferShape, data
// that cannot be served by a finite r (vanishing secant, or end slopes on the
// wrong side of the secant) get the straight line.
template <bool kPreferShape, class V>
[[gnu::always_inline]] inline V shape_control_minimum(V d_l, V d_r, V m) {
  const auto monotone = (d_l * m >= 0.0) & (d_r * m >= 0.0);
  const auto convex = (d_l <= m) & (m <= d_r);
  const auto concave = (d_l >= m) & (m >= d_r);
  const V none = splat<V>(-kMaxFinite);
  const V line = splat<V>(kPreferShape ? kRationalCubicMaxControl : -kMaxFinite);
  V r1 = select(abs_of(m) >= kMinNormal, (d_r + d_l) / m, line);
  r1 = select(monotone, r1, none);
  const V left_gap = m - d_l;
  const V right_gap = d_r - m;
  V r2 = max_of(abs_of((d_r - d_l) / right_gap), abs_of((d_r - d_l) / left_gap));
  const auto left_open = abs_of(left_gap) >= kMinNormal;
  r2 = select(left_open & (abs_of(right_gap) >= kMinNormal), r2, line);
  // End slopes on the wrong side of the secant: only the line keeps the shape.
  r2 = select(convex | concave, r2, select(monotone, line, none));
  const V r = max_of(splat<V>(kRationalCubicMinControl), max_of(r1, r2));
  return select(mask_not(monotone | convex | concave), kRationalCubicMinControl, r);
}

}  // namespace
}  // namespace tarvik::rational
