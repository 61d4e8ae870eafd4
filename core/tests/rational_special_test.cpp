// Boundaries, edge cases and reference values of erfcx_cody,
// inverse_norm_cdf and normalised_black_call.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <random>

#include "tarvik/rational/erfcx.hpp"
#include "tarvik/rational/inv_norm.hpp"
#include "tarvik/rational/normalised_black.hpp"

namespace {

using tarvik::rational::erfcx_cody;
using tarvik::rational::inverse_norm_cdf;
using tarvik::rational::normalised_black_call;
using tarvik::rational::normalised_black_region;
using tarvik::rational::normalised_intrinsic;
using Region = tarvik::rational::NormalisedBlackRegion;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kEps = 2.220446049250313e-16;
constexpr double kTau = 0.21022410381342865;

double up(double v) { return std::nextafter(v, kInf); }
double down(double v) { return std::nextafter(v, -kInf); }
double rel(double a, double b) { return std::fabs(a - b) / std::fabs(b); }
bool is_plus_zero(double v) { return v == 0.0 && !std::signbit(v); }

// ---- erfcx ---------------------------------------------------------------

struct Reference {
  double arg, value;
};

TEST(Erfcx, ReferenceValues) {
  for (const auto& r : {Reference{1, 0.4275835761558}, Reference{-1, 5.008980080762},
                        Reference{0.25, 0.7703465477310}, Reference{5, 0.1107046377331},
                        Reference{-10, 5.376234283632e43}}) {
    EXPECT_LT(rel(erfcx_cody(r.arg), r.value), 1e-12) << r.arg;
  }
}

TEST(Erfcx, ExactValuesAtZeroAndBelowXSmall) {
  EXPECT_EQ(erfcx_cody(0.0), 1.0);
  EXPECT_EQ(erfcx_cody(-0.0), 1.0);
  // |x| <= 1.11e-16: x^2 is dropped, the result is 1 - x A4 / B4 exactly.
  for (double x : {1e-300, 1e-16, 1.11e-16, -1.11e-16}) {
    EXPECT_EQ(erfcx_cody(x), 1.0 - (x * 3209.3775891384694) / 2844.2368334391708) << x;
  }
}

// The ranges meet without a visible step, on both sides of zero (beyond the
// change of erfcx itself over one ulp, about 2|x| dx relative for x < 0).
TEST(Erfcx, ContinuousAcrossRangeSplits) {
  for (double split : {0.46875, 4.0, -0.46875, -4.0}) {
    for (double next : {up(split), down(split)}) {
      const double slope = split < 0 ? 2 * std::fabs(split * (next - split)) : 0.0;
      EXPECT_LT(rel(erfcx_cody(next), erfcx_cody(split)), 4 * kEps + slope) << next;
    }
  }
}

TEST(Erfcx, LargePositiveArguments) {
  constexpr double kInvSqrtPi = 0.56418958354775628;
  for (double x : {6.71e7, 1e10, 1e200, down(2.53e307)}) EXPECT_EQ(erfcx_cody(x), kInvSqrtPi / x) << x;
  EXPECT_NE(erfcx_cody(down(6.71e7)), kInvSqrtPi / down(6.71e7));
  for (double x : {2.53e307, kMax, kInf}) EXPECT_TRUE(is_plus_zero(erfcx_cody(x))) << x;
}

TEST(Erfcx, NegativeArgumentsAndOverflowCut) {
  // At -26.628 the reflection is still computed (and stays below 1.79e308).
  const double at_cut = erfcx_cody(-26.628);
  EXPECT_TRUE(std::isfinite(at_cut));
  EXPECT_LT(rel(at_cut, 1.728618506590026e308), 1e-12);
  for (double x : {down(-26.628), -27.0, -1e300, -kInf}) EXPECT_EQ(erfcx_cody(x), 1.79e308) << x;
  EXPECT_TRUE(std::isnan(erfcx_cody(kNaN)));
}

// ---- inverse normal ------------------------------------------------------

TEST(InverseNormCdf, ReferenceValues) {
  for (const auto& r : {Reference{0.975, 1.959963984540}, Reference{0.9, 1.281551565545},
                        Reference{1e-10, -6.361340902404}, Reference{1e-300, -37.04709629936}}) {
    EXPECT_LT(rel(inverse_norm_cdf(r.arg), r.value), 1e-12) << r.arg;
  }
}

TEST(InverseNormCdf, Ends) {
  EXPECT_TRUE(is_plus_zero(inverse_norm_cdf(0.5)));
  EXPECT_EQ(inverse_norm_cdf(0.0), -kInf);
  EXPECT_EQ(inverse_norm_cdf(-0.0), -kInf);
  EXPECT_EQ(inverse_norm_cdf(1.0), kInf);
  for (double u : {-1e-300, -1.0, up(1.0), 2.0, kNaN, kInf, -kInf}) {
    EXPECT_TRUE(std::isnan(inverse_norm_cdf(u))) << u;
  }
}

// Central interval and near tail meet at |q| = 0.425, near and far tail at
// r = sqrt(-log p) = 5: the approximations agree there to a few ulps.
TEST(InverseNormCdf, ContinuousAcrossSplits) {
  for (double u : {0.075, 0.925}) {
    EXPECT_LT(rel(inverse_norm_cdf(up(u)), inverse_norm_cdf(u)), 4 * kEps) << u;
    EXPECT_LT(rel(inverse_norm_cdf(down(u)), inverse_norm_cdf(u)), 4 * kEps) << u;
  }
  EXPECT_EQ(0.075 + -0.5, -0.425);  // the central test is made on q as computed
  // The largest p with r = 5 exactly takes the far tail, the next double up
  // the near tail.
  const auto r = [](double v) { return std::sqrt(-std::log(v)); };
  double p = std::exp(-25.0);
  while (r(up(p)) == 5.0) p = up(p);
  while (r(p) != 5.0) p = down(p);
  ASSERT_LT(r(up(p)), 5.0);
  EXPECT_LT(rel(inverse_norm_cdf(up(p)), inverse_norm_cdf(p)), 4 * kEps);
  EXPECT_LT(rel(inverse_norm_cdf(1.0 - up(p)), inverse_norm_cdf(1.0 - p)), 4 * kEps);
}

// Whenever 1 - u is exact, the result at 1 - u is the negation of that at u.
TEST(InverseNormCdf, OddAboutOneHalf) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_real_distribution<double> exponent(-300.0, 0.0);
  int checked = 0;
  for (int i = 0; i < 4000; ++i) {
    const double u = i % 2 ? unit(rng) : std::pow(10.0, exponent(rng)) * 0.5;
    if (u <= 0.0 || 1.0 - (1.0 - u) != u) continue;
    ++checked;
    ASSERT_EQ(inverse_norm_cdf(1.0 - u), -inverse_norm_cdf(u)) << u;
  }
  EXPECT_GT(checked, 1000);
}

// ---- normalised Black function ------------------------------------------

struct BlackReference {
  double x, s, value;
  Region region;
};

TEST(NormalisedBlack, ReferenceValues) {
  for (const auto& r : {BlackReference{0, 1, 0.3829249225480, Region::Erfcx},
                        BlackReference{0, 2, 0.6826894921371, Region::Direct},
                        BlackReference{1, 0, 1.042190610987, Region::Zero},
                        BlackReference{-0.5, 0.3, 0.005898232610535, Region::SmallT},
                        BlackReference{-20, 1, 1.209774972612e-90, Region::Asymptotic}}) {
    EXPECT_EQ(normalised_black_region(r.x, r.s), r.region) << r.x << ' ' << r.s;
    EXPECT_LT(rel(normalised_black_call(r.x, r.s), r.value), 1e-12) << r.x << ' ' << r.s;
  }
}

struct RegionCase {
  double x, s;
  Region region;
};

TEST(NormalisedBlack, RegionBoundaries) {
  const double two_tau = 2 * kTau;
  ASSERT_EQ(two_tau, 0.4204482076268573);
  // Second asymptotic test at s = 1 (t = 0.5): h + t = tau + eta exactly.
  const double x_edge = -9.7897758961865708 - 0.5;
  ASSERT_EQ(x_edge + 0.5, -9.7897758961865708);
  for (const auto& c : {
           // at the money: small t below s = 2 tau, erfcx up to s = 1.7, then direct
           RegionCase{0, down(two_tau), Region::SmallT}, RegionCase{0, two_tau, Region::Erfcx},
           RegionCase{0, 1.7, Region::Erfcx}, RegionCase{0, 2, Region::Direct},
           // h + t = 0.85 exactly (x + s t == s 0.85 in doubles) stays in the erfcx region
           RegionCase{-0.3, 2, Region::Erfcx}, RegionCase{-0.29, 2, Region::Direct},
           // both asymptotic tests are strict: h = -10 at t < tau is small t
           RegionCase{-4, 0.4, Region::SmallT}, RegionCase{down(-4.0), 0.4, Region::Asymptotic},
           RegionCase{x_edge, 1, Region::Erfcx}, RegionCase{down(x_edge), 1, Region::Asymptotic},
           // x > 0 is placed as -x
           RegionCase{20, 1, Region::Asymptotic}, RegionCase{0.3, 2, Region::Erfcx},
           RegionCase{-1, 0, Region::Zero}, RegionCase{-1, -1, Region::Zero},
           RegionCase{0, 0, Region::Zero}}) {
    EXPECT_EQ(normalised_black_region(c.x, c.s), c.region) << c.x << ' ' << c.s;
  }
}

TEST(NormalisedBlack, ZeroAndIntrinsicAtZeroVolatility) {
  for (double x : {0.0, -0.0, -1e-300, -1.0, -700.0}) {
    for (double s : {0.0, -0.0, -1.0, -kInf}) EXPECT_TRUE(is_plus_zero(normalised_black_call(x, s))) << x;
  }
  for (double x : {1e-300, 0.05, 0.109375, 1.0, 30.0}) {
    EXPECT_EQ(normalised_black_call(x, 0.0), normalised_intrinsic(x)) << x;
    EXPECT_EQ(normalised_black_call(x, -2.0), normalised_intrinsic(x)) << x;
  }
}

// The intrinsic value against 2 sinh(x/2) on both sides of the switch from
// its series to B - 1/B at x = 0.109375 (x^2 = 98 * 2^-13 exactly).
TEST(NormalisedBlack, IntrinsicValueAcrossTaylorSwitch) {
  ASSERT_EQ(0.109375 * 0.109375, tarvik::rational::kIntrinsicTaylorLimit);
  for (double x : {1e-300, 1e-8, 0.01, 0.05, down(0.109375), 0.109375, 0.2, 1.0, 10.0, 700.0}) {
    const double exact = 2.0 * std::sinh(0.5 * x);
    EXPECT_LT(rel(normalised_intrinsic(x), exact), 16 * kEps) << x;
    // s small enough that the time value is far below one ulp of the intrinsic
    if (x >= 0.01) {
      EXPECT_LT(rel(normalised_black_call(x, 1e-4), exact), 16 * kEps) << x;
    }
  }
  // The series is odd; the exponential form is taken from x = 0.109375 on.
  EXPECT_EQ(normalised_intrinsic(-down(0.109375)), -normalised_intrinsic(down(0.109375)));
  const double b = std::exp(0.5 * 0.109375);
  EXPECT_EQ(normalised_intrinsic(0.109375), b + (-1.0 / b));
}

TEST(NormalisedBlack, NonFiniteArguments) {
  for (double s : {0.0, 1e-10, 1.0, 1e300, kNaN}) {
    EXPECT_TRUE(is_plus_zero(normalised_black_call(kNaN, s))) << s;
    EXPECT_TRUE(is_plus_zero(normalised_black_call(-kInf, s))) << s;
    EXPECT_EQ(normalised_black_call(kInf, s), kInf) << s;
  }
  for (double x : {0.0, -1e-3, -1.0, -30.0}) EXPECT_TRUE(is_plus_zero(normalised_black_call(x, kNaN))) << x;
  for (double x : {1e-3, 1.0, 30.0}) EXPECT_EQ(normalised_black_call(x, kNaN), normalised_intrinsic(x)) << x;
}

// Very large s: Phi(h + t) rounds to 1 and Phi(h - t) underflows, leaving
// exactly exp(x/2). Subnormal s with ordinary x underflows to +0.
TEST(NormalisedBlack, ExtremeTotalVolatility) {
  for (double x : {0.0, -1e-8, -1.0, -7.5, -20.0}) {
    EXPECT_EQ(normalised_black_call(x, 100.0), std::exp(x * 0.5)) << x;
  }
  for (double x : {0.0, -1.0, -100.0, -1000.0}) {
    EXPECT_EQ(normalised_black_call(x, kMax), std::exp(x * 0.5)) << x;
    EXPECT_EQ(normalised_black_call(x, kMax / 2), std::exp(x * 0.5)) << x;
  }
  for (double x : {-1e-300, -1e-10, -1.0, -50.0}) {
    EXPECT_TRUE(is_plus_zero(normalised_black_call(x, 4.9e-324))) << x;
    EXPECT_TRUE(is_plus_zero(normalised_black_call(x, 1e-310))) << x;
  }
}

// The solver relies on b rising with s; it must do so across every seam
// between the evaluation methods.
TEST(NormalisedBlack, IncreasingInTotalVolatility) {
  for (double x : {0.0, -1e-8, -1e-3, -0.05, -0.3, -1.0, -5.0, -10.0, -20.0, -40.0}) {
    double previous = 0.0;
    for (double s = 1e-3; s < 30.0; s *= 1.001) {
      const double b = normalised_black_call(x, s);
      ASSERT_GE(b, previous) << "x = " << x << ", s = " << s;
      ASSERT_LT(b, std::exp(0.5 * x) * (1 + kEps)) << "x = " << x << ", s = " << s;
      previous = b;
    }
  }
}

}  // namespace
