// The normalised Black call price b(x, s) = Phi(h + t) e^(x/2) - Phi(h - t)
// e^(-x/2), h = x/s, t = s/2, following the construction of Jaeckel's "Let's
// Be Rational" (2015): out-of-the-money arguments are evaluated by one of
// four methods chosen from h and t, so that the result keeps close to full
// relative accuracy where the two terms are tiny or nearly equal;
// in-the-money arguments are reduced by put-call symmetry.
#include "tarvik/rational/normalised_black.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

#include "tarvik/normal.hpp"
#include "tarvik/rational/erfcx.hpp"

namespace tarvik::rational {
namespace {

constexpr double kEta = -10.0;                      // asymptotic expansion for h < eta
constexpr double kTau = 0.21022410381342865;        // 2 eps^(1/16) by four square roots of eps
constexpr double kTauPlusEta = -9.7897758961865708;  // tau + eta, as one constant
constexpr double kSplitHPlusT = 0.85;               // direct formula for h + t above this
constexpr double kSqrtHalfPi = 1.2533141373155001;  // sqrt(pi/2), one ulp below the nearest double
constexpr double kInvSqrtTwoPi = normal_constants::kInvSqrtTwoPi;
constexpr double kMinusSqrtHalf = -normal_constants::kSqrtHalf;

// maxNum(b, 0): NaN, -0 and negative values become +0.
inline double clamp_non_negative(double b) { return b > 0.0 ? b : 0.0; }

// Asymptotic expansion, region h < eta, h + t < tau + eta. With
// Y(z) = Phi(z)/phi(z) and the series of Abramowitz and Stegun 26.2.12,
//   b = exp(-(h^2 + t^2)/2)/sqrt(2 pi) * (t/r) * S,  r = (h + t)(h - t),
//   S = 2 + q (P1 + 3q (P2 + 5q (P3 + ... + 31q (P16 + 33q P17)...))),
// with q = (h/r)^2 and Pk polynomials of degree k in e = (t/h)^2. The
// coefficients of Pk, from e^0 up, are (-1)^k 2 C(2k+1, 2j+1) except four
// entries (P15 e^12, P16 e^9 and e^12, P17 e^10), which are used as below.
constexpr double kP1[] = {-6.0, -2.0};
constexpr double kP2[] = {10.0, 20.0, 2.0};
constexpr double kP3[] = {-14.0, -70.0, -42.0, -2.0};
constexpr double kP4[] = {18.0, 168.0, 252.0, 72.0, 2.0};
constexpr double kP5[] = {-22.0, -330.0, -924.0, -660.0, -110.0, -2.0};
constexpr double kP6[] = {26.0, 572.0, 2574.0, 3432.0, 1430.0, 156.0, 2.0};
constexpr double kP7[] = {-30.0, -910.0, -6006.0, -12870.0, -10010.0, -2730.0, -210.0, -2.0};
constexpr double kP8[] = {34.0, 1360.0, 12376.0, 38896.0, 48620.0, 24752.0, 4760.0, 272.0, 2.0};
constexpr double kP9[] = {-38.0, -1938.0, -23256.0, -100776.0, -184756.0, -151164.0, -54264.0,
                          -7752.0, -342.0, -2.0};
constexpr double kP10[] = {42.0, 2660.0, 40698.0, 232560.0, 587860.0, 705432.0, 406980.0, 108528.0,
                           11970.0, 420.0, 2.0};
constexpr double kP11[] = {-46.0, -3542.0, -67298.0, -490314.0, -1634380.0, -2704156.0, -2288132.0,
                           -980628.0, -201894.0, -17710.0, -506.0, -2.0};
constexpr double kP12[] = {50.0, 4600.0, 106260.0, 961400.0, 4085950.0, 8914800.0, 10400600.0,
                           6537520.0, 2163150.0, 354200.0, 25300.0, 600.0, 2.0};
constexpr double kP13[] = {-54.0, -5850.0, -161460.0, -1776060.0, -9373650.0, -26075790.0,
                           -40116600.0, -34767720.0, -16872570.0, -4440150.0, -592020.0, -35100.0,
                           -702.0, -2.0};
constexpr double kP14[] = {58.0, 7308.0, 237510.0, 3121560.0, 20030010.0, 69194580.0, 135727830.0,
                           155117520.0, 103791870.0, 40060020.0, 8584290.0, 950040.0, 47502.0,
                           812.0, 2.0};
constexpr double kP15[] = {-62.0, -8990.0, -339822.0, -5259150.0, -40320150.0, -169344630.0,
                           -412506150.0, -601080390.0, -530365050.0, -282241050.0, -88704330.0,
                           -15777450.0, -1472560.0, -62930.0, -930.0, -2.0};
constexpr double kP16[] = {66.0, 10912.0, 474672.0, 8544096.0, 77134200.0, 387073440.0,
                           1146332880.0, 2074316640.0, 2333606220.0, 1637618420.0, 709634640.0,
                           185122080.0, 27768320.0, 2215136.0, 81840.0, 1056.0, 2.0};
constexpr double kP17[] = {-70.0, -13090.0, -649264.0, -13449040.0, -141214920.0, -834451800.0,
                           -2952675600.0, -6495886320.0, -9075135300.0, -8119857900.0,
                           -4639918200.0, -1668903600.0, -367158792.0, -47071640.0, -3246320.0,
                           -104720.0, -1190.0, -2.0};

// Horner's rule from the highest power down, unrolled at compile time.
template <std::size_t N, std::size_t... I>
inline double horner_impl(const double (&c)[N], double e, std::index_sequence<I...>) {
  double p = c[N - 1];
  ((p = p * e + c[N - 2 - I]), ...);
  return p;
}
template <std::size_t N>
inline double horner(const double (&c)[N], double e) {
  return horner_impl(c, e, std::make_index_sequence<N - 1>{});
}

// gaussian receives exp(-(h^2 + t^2)/2).
double asymptotic_expansion(double h, double t, double& gaussian) {
  const double r = (h + t) * (h - t);
  const double u = h / r;
  const double q = u * u;
  const double v = t / h;
  const double e = v * v;
  double T = horner(kP17, e);
  T = horner(kP16, e) + (33.0 * q) * T;
  T = horner(kP15, e) + (31.0 * q) * T;
  T = horner(kP14, e) + (29.0 * q) * T;
  T = horner(kP13, e) + (27.0 * q) * T;
  T = horner(kP12, e) + (25.0 * q) * T;
  T = horner(kP11, e) + (23.0 * q) * T;
  T = horner(kP10, e) + (21.0 * q) * T;
  T = horner(kP9, e) + (19.0 * q) * T;
  T = horner(kP8, e) + (17.0 * q) * T;
  T = horner(kP7, e) + (15.0 * q) * T;
  T = horner(kP6, e) + (13.0 * q) * T;
  T = horner(kP5, e) + (11.0 * q) * T;
  T = horner(kP4, e) + (9.0 * q) * T;
  T = horner(kP3, e) + (7.0 * q) * T;
  T = horner(kP2, e) + (5.0 * q) * T;
  T = horner(kP1, e) + (3.0 * q) * T;
  const double S = 2.0 + q * T;
  gaussian = std::exp((h * h + t * t) * -0.5);
  return ((t / r) * (gaussian * kInvSqrtTwoPi)) * S;
}

// Small-t expansion, region t < tau: Y(h + t) - Y(h - t) to twelfth order in
// t, in terms of a = 1 + h Y(h) with Y(h) = sqrt(pi/2) erfcx(-h/sqrt(2)).
// Every m a - c is formed as (m a) + (-c). gaussian receives exp(-(h^2 + t^2)/2).
double small_t_expansion(double h, double t, double& gaussian) {
  const double a = (h * kSqrtHalfPi) * erfcx_cody(h * kMinusSqrtHalf) + 1.0;
  const double w = t * t;
  const double h2 = h * h;
  const double ah2 = a * h2;
  const double n1 = ah2 + (3.0 * a + -1.0);
  const double n2 = (15.0 * a + -7.0) + h2 * (ah2 + (10.0 * a + -1.0));
  const double n3 =
      (105.0 * a + -57.0) + h2 * ((105.0 * a + -18.0) + h2 * (ah2 + (21.0 * a + -1.0)));
  const double n4 =
      (945.0 * a + -561.0) +
      h2 * ((1260.0 * a + -285.0) + h2 * ((378.0 * a + -33.0) + h2 * (ah2 + (36.0 * a + -1.0))));
  const double n5 =
      (10395.0 * a + -6555.0) +
      h2 * ((17325.0 * a + -4680.0) +
            h2 * ((6930.0 * a + -840.0) +
                  h2 * ((990.0 * a + -52.0) + h2 * (ah2 + (55.0 * a + -1.0)))));
  const double n6 =
      (135135.0 * a + -89055.0) +
      h2 * ((270270.0 * a + -82845.0) +
            h2 * ((135135.0 * a + -20370.0) +
                  h2 * ((25740.0 * a + -1926.0) +
                        h2 * ((2145.0 * a + -75.0) + h2 * (ah2 + (78.0 * a + -1.0))))));
  const double E =
      (t + t) *
      (a + w * (n1 / 6.0 +
                w * (n2 / 120.0 +
                     w * (n3 / 5040.0 +
                          w * (n4 / 362880.0 +
                               w * (n5 / 39916800.0 + (w * n6) / 6227020800.0))))));
  gaussian = std::exp((h2 + w) * -0.5);
  return (gaussian * kInvSqrtTwoPi) * E;
}

// Direct formula, region h + t > 0.85: the first term dominates, so there is
// no harmful cancellation; Phi keeps its relative accuracy in the far tail.
double direct_formula(double x, double h, double t) {
  const double p1 = norm_cdf_tail(h + t);
  const double p2 = norm_cdf_tail(h - t);
  const double b = std::exp(x * 0.5);
  return b * p1 - p2 / b;
}

// Remaining region: b = exp(-(h^2 + t^2)/2)/2 *
// (erfcx(-(h + t)/sqrt(2)) - erfcx(-(h - t)/sqrt(2))).
// gaussian receives exp(-(h^2 + t^2)/2).
double erfcx_formula(double h, double t, double& gaussian) {
  gaussian = std::exp((h * h + t * t) * -0.5);
  const double f = gaussian * 0.5;
  return f * (erfcx_cody((h + t) * kMinusSqrtHalf) - erfcx_cody((h - t) * kMinusSqrtHalf));
}

// The region tests on h = x/s, written without the division. Each is false
// for NaN, so a NaN lands in the small-t or the erfcx region.
inline NormalisedBlackRegion region_of(double x, double s, double t) {
  if (x < s * kEta && x + s * t < s * kTauPlusEta) return NormalisedBlackRegion::Asymptotic;
  if (t < kTau) return NormalisedBlackRegion::SmallT;
  if (x + s * t > s * kSplitHPlusT) return NormalisedBlackRegion::Direct;
  return NormalisedBlackRegion::Erfcx;
}

// b(x, s) for x <= 0 (or NaN). The asymptotic, small-t and erfcx methods
// store the Gaussian factor exp(-(h^2 + t^2)/2) they form in `gaussian` (the
// vega's own exponential); s <= 0 and the direct formula leave it alone.
// Inlined into both callers so that the factor stays in a register.
[[gnu::always_inline]] inline double out_of_the_money(double x, double s, double& gaussian) {
  // s <= 0 gives 0; for x = -inf or NaN the product is NaN and the test fails.
  if (s <= 0.0 * std::fabs(x)) return 0.0;
  const double t = 0.5 * s;
  const double h = x / s;
  double b;
  switch (region_of(x, s, t)) {
    case NormalisedBlackRegion::Asymptotic:
      b = asymptotic_expansion(h, t, gaussian);
      break;
    case NormalisedBlackRegion::SmallT:
      b = small_t_expansion(h, t, gaussian);
      break;
    case NormalisedBlackRegion::Direct:
      b = direct_formula(x, h, t);
      break;
    default:
      b = erfcx_formula(h, t, gaussian);
      break;
  }
  return clamp_non_negative(b);
}

}  // namespace

double normalised_black_call(double x, double s) {
  double gaussian = 0.0;  // not needed by this caller
  if (x > 0.0) {
    // Put-call symmetry: b(x, s) = iota(x) + b(-x, s).
    return clamp_non_negative(normalised_intrinsic(x)) + out_of_the_money(-x, s, gaussian);
  }
  return out_of_the_money(x, s, gaussian);
}

NormalisedBlackTerms normalised_black_call_terms(double x, double s) {
  double gaussian = std::numeric_limits<double>::quiet_NaN();
  double b;
  if (x > 0.0) {
    b = clamp_non_negative(normalised_intrinsic(x)) + out_of_the_money(-x, s, gaussian);
  } else {
    b = out_of_the_money(x, s, gaussian);
  }
  return {b, gaussian};
}

NormalisedBlackRegion normalised_black_region(double x, double s) {
  if (x > 0.0) x = -x;
  if (s <= 0.0 * std::fabs(x)) return NormalisedBlackRegion::Zero;
  return region_of(x, s, 0.5 * s);
}

}  // namespace tarvik::rational
