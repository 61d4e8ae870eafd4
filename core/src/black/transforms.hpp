// The initial guess of the implied-volatility solver (Jaeckel, "Let's Be
// Rational", 2015): in the lowest and highest price regions a transform of
// the price that is nearly linear there is interpolated by a rational cubic
// and inverted; in the two middle regions s itself is interpolated against
// the price. Templates over the value type (value.hpp); the callers form the
// C library's exp, pow and Phi of the arguments given here, element by
// element, and pass them in.
#pragma once

#include "black/cubic.hpp"
#include "special/value.hpp"
#include "tarvik/numeric.hpp"

namespace tarvik::rational {

inline constexpr double kInvSqrtThree = 0.5773502691896257;     // 1/sqrt(3)
inline constexpr double kSqrtThree = 1.7320508075688772;        // sqrt(3)
inline constexpr double kEightSqrtThree = 13.856406460551018;   // 8 sqrt(3)
inline constexpr double kTwoPi = 6.283185307179586;             // 2 pi
inline constexpr double kPiOverSix = 0.5235987755982988;        // pi/6
inline constexpr double kTwoPiOverSqrt27 = 1.2091995761561452;  // 2 pi/sqrt(27)

namespace {

// The branch points that split the price range into four regions: the
// central one s_c = sqrt(2|x|), the inflexion point of b in s, and the
// tangents' intercepts s_l (at b = 0) below it and s_h (at b = b_max) above it.
template <class V>
[[gnu::always_inline]] inline V central_branch_point(V x) {
  return sqrt_of(abs_of(x + x));
}
template <class V>
[[gnu::always_inline]] inline V lower_branch_point(V s_c, V b_c, V v_c) {
  return s_c - b_c / v_c;
}
template <class V>
[[gnu::always_inline]] inline V upper_branch_point(V s_c, V b_c, V v_c, V b_max) {
  return select(v_c > kMinNormal, s_c + (b_max - b_c) / v_c, s_c);
}

// A transformed price and its first two derivatives with respect to the price.
template <class V>
struct Transform {
  V value, first, second;
};

// The arguments of Phi and of the exponentials a transform needs.
template <class V>
struct TransformArguments {
  V phi, e1, e2, e3;
};

// The low-price transform f = (2 pi/sqrt(27)) |x| Phi(-|x|/(sqrt(3) s))^3,
// nearly linear in the price as the price tends to 0, at s = s_l; its
// derivatives with respect to the price go through db/ds. phi = Phi(-z),
// e1 = exp(-y/2), e2 = exp(y + s^2/8), e3 = exp(2y + s^2/4), z = |x|/(sqrt(3) s), y = z^2.
template <class V>
[[gnu::always_inline]] inline TransformArguments<V> low_price_arguments(V x, V s) {
  const V z = abs_of(x) * kInvSqrtThree / s;
  const V y = z * z;
  const V s2 = s * s;
  return {-z, y * -0.5, y + s2 * 0.125, (y + y) + s2 * 0.25};
}
template <class V>
[[gnu::always_inline]] inline Transform<V> low_price_transform(V x, V s, V phi, V e1, V e2, V e3) {
  const V a = abs_of(x);
  const V z = a * kInvSqrtThree / s;
  const V y = z * z;
  const V phi_pdf = e1 * kInvSqrtTwoPi;
  const V s2 = s * s;
  const auto tiny_s = abs_of(s) < kMinNormal;
  V value = select(a < kMinNormal, 0.0, a * kTwoPiOverSqrt27 * phi * phi * phi);
  value = select(tiny_s, 0.0, value);
  const V first = select(tiny_s, 1.0, kTwoPi * y * phi * phi * e2);
  const V second =
      kPiOverSix * y / (s * s2) * phi *
      (kEightSqrtThree * s * a + (3.0 * s2 * (s2 - 8.0) - 8.0 * (x * x)) * phi / phi_pdf) * e3;
  return {value, first, second};
}

// Lowest region, 0 < beta < b_l: the low-price transform at beta,
// interpolated on [0, b_l] between slopes 1 and f'(b_l).
template <class V>
[[gnu::always_inline]] inline V lowest_region_transform(V beta, V b_l, const Transform<V>& t_l) {
  const V zero = splat<V>(0.0);
  const V one = splat<V>(1.0);
  const V r =
      max_of(control_for_right_curvature(zero, b_l, zero, t_l.value, one, t_l.first, t_l.second),
             shape_control_minimum<true>(one, t_l.first, t_l.value / b_l));
  const V f = rational_cubic(beta, zero, b_l, zero, t_l.value, one, t_l.first, r);
  // Otherwise the quadratic through f(0) = 0 with slope 1 there and f(b_l) = f_l.
  const V t = beta / b_l;
  return select(f > 0.0, f, t * (b_l * (1.0 - t) + t * t_l.value));
}

// Its inversion: Phi(-|x|/(sqrt(3) s)) = (f/(2 pi/sqrt(27) |x|))^(1/3) = u;
// the caller forms u^(1/3) (pow) and z = inverse_norm_cdf of it.
template <class V>
[[gnu::always_inline]] inline V low_price_cube(V f, V x) {
  return f / (kTwoPiOverSqrt27 * abs_of(x));
}
template <class V>
[[gnu::always_inline]] inline V low_price_volatility(V x, V z) {
  return abs_of(x / (kSqrtThree * z));
}

// The high-price transform f = Phi(-s/2), which tends to 0 linearly as the
// price tends to its maximum, at s = s_h. phi = Phi(-s/2), e1 = exp(w/2),
// e2 = exp(w + s^2/8), w = (x/s)^2.
template <class V>
[[gnu::always_inline]] inline TransformArguments<V> high_price_arguments(V x, V s) {
  const V w = (x / s) * (x / s);
  return {-s * 0.5, 0.5 * w, w + s * s * 0.125, splat<V>(0.0)};
}
template <class V>
[[gnu::always_inline]] inline Transform<V> high_price_transform(V x, V s, V phi, V e1, V e2) {
  const V w = (x / s) * (x / s);
  const auto tiny_x = abs_of(x) < kMinNormal;
  return {phi, select(tiny_x, -0.5, -0.5 * e1), select(tiny_x, 0.0, kSqrtHalfPi * e2 * w / s)};
}

// Highest region, b_h < beta < b_max: the high-price transform at beta,
// interpolated on [b_h, b_max] (slope -1/2 at b_max), or where that is
// unusable the quadratic through f(b_h) = f_h and f(b_max) = 0 with slope
// -1/2 there. The caller inverts it as s = -2 inverse_norm_cdf(f).
template <class V>
[[gnu::always_inline]] inline V highest_region_transform(V beta, V b_max, V b_h,
                                                         const Transform<V>& t_h) {
  const V zero = splat<V>(0.0);
  const V half = splat<V>(-0.5);
  const V r =
      max_of(control_for_left_curvature(b_h, b_max, t_h.value, zero, t_h.first, half, t_h.second),
             shape_control_minimum<true>(t_h.first, half, (0.0 - t_h.value) / (b_max - b_h)));
  V f = rational_cubic(beta, b_h, b_max, t_h.value, zero, t_h.first, half, r);
  f = select(abs_of(t_h.second) < kSqrtMaxFinite, f, -kMaxFinite);
  const V h = b_max - b_h;
  const V t = (beta - b_h) / h;
  return select(f <= 0.0, (1.0 - t) * (0.5 * h * t + (1.0 - t) * t_h.value), f);
}

// The two middle regions, on either side of the central branch point c:
// s interpolated against the price on [b_2, b_c] (lower) or [b_c, b_2]
// (upper), slopes 1/vega, curvature 0 at the end away from c. Gives s0 and
// the bracket [s_l, s_r] its refinement keeps.
template <class V>
struct MiddleGuess {
  V s0, s_l, s_r;
};
template <class V, class M>
[[gnu::always_inline]] inline MiddleGuess<V> middle_region_guess(V beta, M lower, V s_c, V b_c,
                                                                 V v_c, V s_2, V b_2, V v_2) {
  const V x_l = select(lower, b_2, b_c);
  const V x_r = select(lower, b_c, b_2);
  const V y_l = select(lower, s_2, s_c);
  const V y_r = select(lower, s_c, s_2);
  const V d_l = 1.0 / select(lower, v_2, v_c);
  const V d_r = 1.0 / select(lower, v_c, v_2);
  // control_for_right_curvature below c, control_for_left_curvature above.
  const V h = x_r - x_l;
  const V m = (y_r - y_l) / h;
  const V curvature =
      curvature_control(0.5 * h * 0.0 + (d_r - d_l), select(lower, d_r - m, m - d_l));
  const V r = max_of(curvature, shape_control_minimum<false>(d_l, d_r, (y_r - y_l) / (x_r - x_l)));
  return {rational_cubic(beta, x_l, x_r, y_l, y_r, d_l, d_r, r), y_l, y_r};
}

}  // namespace
}  // namespace tarvik::rational
