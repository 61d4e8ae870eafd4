#include "tarvik/rational/solver.hpp"

#include <cmath>
#include <limits>

#include "tarvik/normal.hpp"
#include "tarvik/numeric.hpp"
#include "tarvik/rational/cubic.hpp"
#include "tarvik/rational/householder.hpp"
#include "tarvik/rational/inverse_norm_cdf.hpp"
#include "tarvik/rational/normalised_black.hpp"

namespace tarvik::rational {

namespace {

constexpr double kInvSqrtThree = 0.5773502691896257;     // 1/sqrt(3)
constexpr double kSqrtThree = 1.7320508075688772;        // sqrt(3)
constexpr double kEightSqrtThree = 13.856406460551018;   // 8 sqrt(3)
constexpr double kTwoPi = 6.283185307179586;             // 2 pi
constexpr double kPiOverSix = 0.5235987755982988;        // pi/6
constexpr double kTwoPiOverSqrt27 = 1.2091995761561452;  // 2 pi/sqrt(27)
constexpr double kOneThird = 0.3333333333333333;         // nearest double to 1/3

// A transformed price and its first two derivatives with respect to the price.
struct Transform {
  double value;
  double first;
  double second;
};

// The low-price transform f = (2 pi/sqrt(27)) |x| Phi(-|x|/(sqrt(3) s))^3,
// which is nearly linear in the price as the price tends to 0, at s = s_l.
// Its derivatives with respect to the price go through db/ds.
Transform low_price_transform(double x, double s) {
  const double a = std::fabs(x);
  const double z = a * kInvSqrtThree / s;
  const double y = z * z;
  const double phi_cdf = norm_cdf_tail(-z);
  const double phi_pdf = std::exp(y * -0.5) * kInvSqrtTwoPi;
  const double s2 = s * s;
  Transform f;
  f.value = a < kMinNormal ? 0.0 : a * kTwoPiOverSqrt27 * phi_cdf * phi_cdf * phi_cdf;
  if (std::fabs(s) < kMinNormal) {
    f.first = 1.0;
    f.value = 0.0;
  } else {
    f.first = kTwoPi * y * phi_cdf * phi_cdf * std::exp(y + s2 * 0.125);
  }
  f.second =
      kPiOverSix * y / (s * s2) * phi_cdf *
      (kEightSqrtThree * s * a + (3.0 * s2 * (s2 - 8.0) - 8.0 * (x * x)) * phi_cdf / phi_pdf) *
      std::exp((y + y) + s2 * 0.25);
  return f;
}

// The s whose low-price transform is f.
double inverse_low_price_transform(double f, double x) {
  if (std::fabs(f) < kMinNormal) return 0.0;
  const double p = std::pow(f / (kTwoPiOverSqrt27 * std::fabs(x)), kOneThird);
  return std::fabs(x / (kSqrtThree * inverse_norm_cdf(p)));
}

// The high-price transform f = Phi(-s/2), which tends to 0 linearly as the
// price tends to its maximum, at s = s_h.
Transform high_price_transform(double x, double s) {
  Transform f;
  f.value = norm_cdf_tail(-s * 0.5);
  if (std::fabs(x) < kMinNormal) {
    f.first = -0.5;
    f.second = 0.0;
  } else {
    const double w = (x / s) * (x / s);
    f.first = -0.5 * std::exp(0.5 * w);
    f.second = kSqrtHalfPi * std::exp(w + s * s * 0.125) * w / s;
  }
  return f;
}

// Lowest region, 0 < beta < b_l: interpolate the low-price transform on
// [0, b_l] and invert it.
double lowest_region(double beta, double x, double b_max, double s_l, double b_l) {
  const Transform t_l = low_price_transform(x, s_l);
  const double r =
      max_num(control_for_right_curvature(0.0, b_l, 0.0, t_l.value, 1.0, t_l.first, t_l.second),
              shape_control_minimum(1.0, t_l.first, t_l.value / b_l, true));
  double f = rational_cubic(beta, 0.0, b_l, 0.0, t_l.value, 1.0, t_l.first, r);
  if (!(f > 0.0)) {
    // The quadratic through f(0) = 0 with slope 1 there and f(b_l) = f_l.
    const double t = beta / b_l;
    f = t * (b_l * (1.0 - t) + t * t_l.value);
  }
  const double s0 = inverse_low_price_transform(f, x);
  return householder_refinement(x, beta, b_max, s0, kMinNormal, s_l,
                                RefinementObjective::ReciprocalLog, std::log(beta));
}

// Highest region, b_h < beta < b_max: interpolate the high-price transform on
// [b_h, b_max] and invert it.
double highest_region(double beta, double x, double b_max, double s_h, double b_h) {
  const Transform t_h = high_price_transform(x, s_h);
  double f = -kMaxFinite;
  if (std::fabs(t_h.second) < kSqrtMaxFinite) {
    const double r =
        max_num(control_for_left_curvature(b_h, b_max, t_h.value, 0.0, t_h.first, -0.5, t_h.second),
                shape_control_minimum(t_h.first, -0.5, (0.0 - t_h.value) / (b_max - b_h), true));
    f = rational_cubic(beta, b_h, b_max, t_h.value, 0.0, t_h.first, -0.5, r);
  }
  if (f <= 0.0) {
    // The quadratic through f(b_h) = f_h and f(b_max) = 0 with slope -1/2 there.
    const double h = b_max - b_h;
    const double t = (beta - b_h) / h;
    f = (1.0 - t) * (0.5 * h * t + (1.0 - t) * t_h.value);
  }
  const double s0 = -2.0 * inverse_norm_cdf(f);
  const RefinementObjective objective =
      beta <= 0.5 * b_max ? RefinementObjective::Plain : RefinementObjective::LogGap;
  return householder_refinement(x, beta, b_max, s0, s_h, kMaxFinite, objective, 0.0);
}

// The two middle regions, on either side of the central branch point:
// interpolate s itself against the price on [b_l, b_r] (slopes 1/vega,
// curvature 0 at the outer end), then refine the plain objective inside
// [s_l, s_r]. The lower region fixes the curvature at its right end, the
// upper region at its left end.
double middle_region(double beta, double x, double b_max, double s_l, double b_l, double v_l,
                     double s_r, double b_r, double v_r, bool curvature_at_right) {
  const double d_l = 1.0 / v_l;
  const double d_r = 1.0 / v_r;
  const double curvature = curvature_at_right
                               ? control_for_right_curvature(b_l, b_r, s_l, s_r, d_l, d_r, 0.0)
                               : control_for_left_curvature(b_l, b_r, s_l, s_r, d_l, d_r, 0.0);
  const double r =
      max_num(curvature, shape_control_minimum(d_l, d_r, (s_r - s_l) / (b_r - b_l), false));
  const double s0 = rational_cubic(beta, b_l, b_r, s_l, s_r, d_l, d_r, r);
  return householder_refinement(x, beta, b_max, s0, s_l, s_r, RefinementObjective::Plain, 0.0);
}

}  // namespace

double unchecked_normalised_implied_volatility(double beta, double x, bool is_call) {
  // Reduction to an out-of-the-money call: subtract the intrinsic value of an
  // in-the-money option, then use b(x) for a call and b(-x) for a put.
  if (is_call ? x > 0.0 : x < 0.0) {
    double iota = normalised_intrinsic(x);
    if (!is_call) iota = -iota;
    iota = max_num(iota, 0.0);
    beta = max_num(beta - iota, 0.0);
    if (is_call) x = -x;
  } else if (!is_call) {
    x = -x;
  }

  if (beta <= 0.0) return 0.0;
  const double b_max = std::exp(x * 0.5);
  if (beta >= b_max) return kMaxFinite;
  // A subnormal price has lost the digits the method works with (the lowest
  // region would start from s = 0 and two steps end far from the root): no
  // volatility rather than a wrong one.
  if (beta < kMinNormal) return std::numeric_limits<double>::quiet_NaN();

  // Central branch point: the inflexion point of b in s.
  const double s_c = std::sqrt(std::fabs(x + x));
  const auto [b_c, v_c] = normalised_black_and_vega(x, s_c);

  if (beta < b_c) {
    const double s_l = s_c - b_c / v_c;
    const auto [b_l, v_l] = normalised_black_and_vega(x, s_l);
    if (beta < b_l) return lowest_region(beta, x, b_max, s_l, b_l);
    return middle_region(beta, x, b_max, s_l, b_l, v_l, s_c, b_c, v_c, true);
  }

  const double s_h = v_c > kMinNormal ? s_c + (b_max - b_c) / v_c : s_c;
  const auto [b_h, v_h] = normalised_black_and_vega(x, s_h);
  if (beta > b_h) return highest_region(beta, x, b_max, s_h, b_h);
  return middle_region(beta, x, b_max, s_c, b_c, v_c, s_h, b_h, v_h, false);
}

}  // namespace tarvik::rational
