// Unit tests of the implied-volatility solver: the rational cubic and its
// control rules, the Householder refinement, the solver's boundaries and
// branch points, and the two validating front ends.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tarvik/black.hpp"
#include "tarvik/implied_volatility.hpp"
#include "tarvik/rational/cubic.hpp"
#include "tarvik/rational/householder.hpp"
#include "tarvik/rational/inverse.hpp"
#include "tarvik/rational/normalised_black.hpp"

namespace tarvik::rational {
namespace {

constexpr double kRMin = -0.9999999850988388;
constexpr double kRMax = 4.056481920730334e31;
constexpr double kBig = 1.7976931348623157e308;

// ---------------------------------------------------------------- cubic ---

TEST(RationalCubic, ControlThreeIsCubicHermite) {
  const double xl = 0.5, xr = 2.0, yl = -1.0, yr = 3.0, dl = 0.25, dr = 4.0;
  const double h = xr - xl;
  for (double t : {0.1, 0.37, 0.5, 0.81}) {
    const double x = xl + t * h;
    const double tt = (x - xl) / h;
    const double hermite = (2 * tt * tt * tt - 3 * tt * tt + 1) * yl +
                           (tt * tt * tt - 2 * tt * tt + tt) * h * dl +
                           (-2 * tt * tt * tt + 3 * tt * tt) * yr + (tt * tt * tt - tt * tt) * h * dr;
    EXPECT_NEAR(rational_cubic(x, xl, xr, yl, yr, dl, dr, 3.0), hermite, 1e-14) << t;
  }
}

TEST(RationalCubic, LargeControlIsTheChordAndEndsAreExact) {
  const double xl = 1.0, xr = 3.0, yl = 2.0, yr = -5.0;
  for (double r : {kRMax, 1e40, std::numeric_limits<double>::infinity()}) {
    for (double x : {1.25, 2.0, 2.9}) {
      const double t = (x - xl) / (xr - xl);
      EXPECT_EQ(rational_cubic(x, xl, xr, yl, yr, 7.0, -9.0, r), yr * t + yl * (1.0 - t));
    }
  }
  for (double r : {kRMin, 0.0, 3.0, 1e6, kRMax}) {
    EXPECT_EQ(rational_cubic(xl, xl, xr, yl, yr, 7.0, -9.0, r), yl) << r;
    EXPECT_EQ(rational_cubic(xr, xl, xr, yl, yr, 7.0, -9.0, r), yr) << r;
  }
  // A degenerate interval gives the mean of the end values, whatever r is.
  EXPECT_EQ(rational_cubic(1.0, 1.0, 1.0, 2.0, 5.0, 1.0, 1.0, 3.0), 3.5);
  EXPECT_EQ(rational_cubic(9.0, 1.0, 1.0, 2.0, 5.0, 1.0, 1.0, kRMax), 3.5);
}

struct CurvatureCase {
  double xl, xr, yl, yr, dl, dr, c;
  double left, right;  // expected control for the left and the right rule
};

class CurvatureControl : public ::testing::TestWithParam<CurvatureCase> {};

TEST_P(CurvatureControl, Rules) {
  const CurvatureCase& k = GetParam();
  EXPECT_EQ(control_for_left_curvature(k.xl, k.xr, k.yl, k.yr, k.dl, k.dr, k.c), k.left);
  EXPECT_EQ(control_for_right_curvature(k.xl, k.xr, k.yl, k.yr, k.dl, k.dr, k.c), k.right);
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, CurvatureControl,
    ::testing::Values(
        // Vanishing numerator h c/2 + (d_r - d_l): 0 for both rules.
        CurvatureCase{0, 1, 0, 1, 2, 2, 0, 0.0, 0.0},
        CurvatureCase{0, 2, 0, 1, 1, 3, -2, 0.0, 0.0},
        // Secant equal to the end slope: the denominator vanishes, so the sign
        // of the numerator picks r_max or r_min. m = 1 = d_l (left), = d_r (right).
        CurvatureCase{0, 1, 0, 1, 1, 3, 0, kRMax, 1.0},
        CurvatureCase{0, 1, 0, 1, 3, 1, 0, 1.0, kRMin},
        // Ordinary data: N/D. h = 2, m = 2, N = 0.5*2*1 + (3 - 1) = 3.
        CurvatureCase{0, 2, 0, 4, 1, 3, 1, 3.0, 3.0}));

struct ShapeCase {
  double dl, dr, m;
  bool prefer_shape;
  double expected;
};

class ShapeControl : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(ShapeControl, LeastShapePreservingControl) {
  const ShapeCase& k = GetParam();
  EXPECT_EQ(shape_control_minimum(k.dl, k.dr, k.m, k.prefer_shape), k.expected);
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, ShapeControl,
    ::testing::Values(
        // Straight data: monotone gives (d_r + d_l)/m = 2; the degenerate
        // convexity test adds the line only when the shape is preferred.
        ShapeCase{1.5, 1.5, 1.5, false, 2.0}, ShapeCase{1.5, 1.5, 1.5, true, kRMax},
        // Flat secant, both slopes positive: monotone only.
        ShapeCase{1.0, 2.0, 0.0, true, kRMax}, ShapeCase{1.0, 2.0, 0.0, false, kRMin},
        // Flat secant with d_l < 0 < d_r is convex: max(|3/2|, |3/1|).
        ShapeCase{-1.0, 2.0, 0.0, false, 3.0},
        // Convex and monotone: max((d_r + d_l)/m, |(d_r-d_l)/(d_r-m)|, |(d_r-d_l)/(m-d_l)|).
        ShapeCase{1.0, 4.0, 2.0, false, 3.0},
        // Neither monotone, convex nor concave.
        ShapeCase{-1.0, -2.0, 1.0, true, kRMin},
        // Monotone but neither convex nor concave, shape preferred: the line.
        ShapeCase{3.0, 4.0, 1.0, true, kRMax}, ShapeCase{3.0, 4.0, 1.0, false, 7.0}));

// ----------------------------------------------------------- refinement ---

TEST(NormalisedVega, AtTheMoneyAndCutOff) {
  EXPECT_EQ(normalised_vega(0.0, 0.0), 0.3989422804014327);
  EXPECT_EQ(normalised_vega(0.0, 2.0), 0.3989422804014327 * std::exp(-0.5));
  EXPECT_EQ(normalised_vega(-1.0, 0.0), 0.0);
  EXPECT_EQ(normalised_vega(-1.0, 1e-160), 0.0);  // below |x| 2^-511
  EXPECT_NEAR(normalised_vega(-1.0, 1.0), 0.3989422804014327 * std::exp(-0.625), 1e-16);
}

// The shared evaluation must agree bit for bit with the two separate ones in
// every region of the normalised Black function, at the money and where the
// vega is cut off.
TEST(NormalisedVega, SharedWithThePriceBitForBit) {
  for (double x : {0.0, -0.0, -1e-300, -0.05, -0.7, -3.0, -40.0, -300.0}) {
    for (double s : {0.0, 1e-160, 1e-5, 0.1, 0.4, 0.43, 1.0, 2.0, 6.0, 30.0, 1e10}) {
      const BlackAndVega both = normalised_black_and_vega(x, s);
      EXPECT_EQ(both.b, normalised_black_call(x, s)) << x << " " << s;
      EXPECT_EQ(both.vega, normalised_vega(x, s)) << x << " " << s;
    }
  }
}

TEST(Householder, InfiniteStartIsReturnedUntouched) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(householder_refinement(-1.0, 0.1, std::exp(-0.5), inf, 0.0, kBig,
                                   RefinementObjective::Plain, 0.0),
            inf);
}

// At the exact root every objective's Newton step is 0, so the first step
// ends the iteration with s0 itself.
class HouseholderObjective : public ::testing::TestWithParam<RefinementObjective> {};

TEST_P(HouseholderObjective, StopsAtTheRoot) {
  const double x = -1.0, s0 = 0.7;
  const double beta = normalised_black_call(x, s0);
  EXPECT_EQ(householder_refinement(x, beta, std::exp(-0.5), s0, 0.1, 5.0, GetParam(),
                                   std::log(beta)),
            s0);
}

// A start where the derivatives are useless (vega 0 at a tiny s; price at its
// maximum at a huge s) makes the first step a bisection or a jump outside the
// bracket; the second pass then starts from the bracket midpoint 1, which is
// the root, and stays there.
TEST_P(HouseholderObjective, BisectsWhenDerivativesFail) {
  const double x = -1.0;
  const double beta = normalised_black_call(x, 1.0);
  const double b_max = std::exp(-0.5);
  const RefinementObjective objective = GetParam();
  const double s0 = objective == RefinementObjective::LogGap ? 1e300 : 1e-160;
  EXPECT_EQ(householder_refinement(x, beta, b_max, s0, 0.5, 1.5, objective, std::log(beta)),
            1.0);
}

INSTANTIATE_TEST_SUITE_P(All, HouseholderObjective,
                         ::testing::Values(RefinementObjective::ReciprocalLog,
                                           RefinementObjective::Plain,
                                           RefinementObjective::LogGap));

TEST(Householder, NarrowBracketReturnsItsMidpoint) {
  // The first step leaves the bracket [1, 1 + eps]; its midpoint rounds to 1
  // and the bracket is no wider than eps times it, so 1 is returned unrefined.
  const double upper = std::nextafter(1.0, 2.0);
  const double beta = normalised_black_call(-1.0, 0.9);
  EXPECT_EQ(householder_refinement(-1.0, beta, std::exp(-0.5), 1e-160, 1.0, upper,
                                   RefinementObjective::Plain, 0.0),
            1.0);
}

// ------------------------------------------------------------- solver ---

TEST(Solver, Boundaries) {
  for (double q : {1.0, -1.0}) {
    const double x = -0.75 * q;  // out of the money
    EXPECT_EQ(unchecked_normalised_implied_volatility(0.0, x, q), 0.0);
    EXPECT_EQ(unchecked_normalised_implied_volatility(-1e-3, x, q), 0.0);
    EXPECT_EQ(unchecked_normalised_implied_volatility(std::exp(-0.375), x, q), kBig);
    EXPECT_EQ(unchecked_normalised_implied_volatility(2.0, x, q), kBig);
    // In the money at exactly the intrinsic value, in both intrinsic branches.
    for (double xi : {0.75, 0.05}) {
      const double iota = normalised_intrinsic(xi);
      EXPECT_EQ(unchecked_normalised_implied_volatility(iota, xi * q, q), 0.0);
    }
  }
}

// At each branch point the interpolation reproduces the node and the first
// step is 0: the answer is the branch point's s exactly. This only holds when
// b_c belongs to the upper half, b_l to the lower middle and b_h to the upper
// middle region.
TEST(Solver, BranchPointsAreReproducedExactly) {
  for (double x : {-0.3, -2.0, -12.0}) {
    const double s_c = std::sqrt(std::fabs(x + x));
    const double b_c = normalised_black_call(x, s_c);
    const double v_c = normalised_vega(x, s_c);
    const double s_l = s_c - b_c / v_c;
    const double s_h = s_c + (std::exp(0.5 * x) - b_c) / v_c;
    EXPECT_EQ(unchecked_normalised_implied_volatility(b_c, x, 1.0), s_c) << x;
    EXPECT_EQ(unchecked_normalised_implied_volatility(normalised_black_call(x, s_l), x, 1.0), s_l)
        << x;
    EXPECT_EQ(unchecked_normalised_implied_volatility(normalised_black_call(x, s_h), x, 1.0), s_h)
        << x;
  }
}

}  // namespace
}  // namespace tarvik::rational

// ---------------------------------------------------------- front ends ---

namespace tarvik {
namespace {

struct FrontCase {
  double price, forward, strike, maturity;
  bool is_call;
  ErrorKind kind;
  double a, b;  // the carried numbers: value, or price and bound
};

class ImpliedVolatilityErrors : public ::testing::TestWithParam<FrontCase> {};

TEST_P(ImpliedVolatilityErrors, FirstFailingCheckWins) {
  const FrontCase& k = GetParam();
  const Result<double> r = implied_volatility(k.price, k.forward, k.strike, k.maturity, k.is_call);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), k.kind);
  switch (k.kind) {
    case ErrorKind::PriceBelowIntrinsic:
    case ErrorKind::PriceAboveMaximum:
      EXPECT_EQ(r.error().price(), k.a);
      EXPECT_EQ(r.error().bound(), k.b);
      break;
    case ErrorKind::InvalidInput:
      EXPECT_STREQ(r.error().reason(), "non-finite implied-volatility input");
      break;
    default:
      EXPECT_EQ(r.error().value(), k.a);
  }
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    ValidationOrder, ImpliedVolatilityErrors,
    ::testing::Values(
        FrontCase{kNaN, -1, 100, 1, true, ErrorKind::InvalidInput, 0, 0},
        FrontCase{5, 100, kInf, 1, false, ErrorKind::InvalidInput, 0, 0},
        FrontCase{5, 0, -1, 0, true, ErrorKind::NegativeForward, 0, 0},
        FrontCase{5, 100, -0.0, -1, true, ErrorKind::NegativeStrike, -0.0, 0},
        FrontCase{5, 100, 100, 0, true, ErrorKind::NegativeTime, 0, 0},
        FrontCase{1, 105, 100, 1, true, ErrorKind::PriceBelowIntrinsic, 1, 5},
        FrontCase{0, 95, 100, 1, false, ErrorKind::PriceBelowIntrinsic, 0, 5},
        FrontCase{-1, 100, 105, 1, true, ErrorKind::PriceBelowIntrinsic, -1, 0},
        FrontCase{100, 100, 105, 1, true, ErrorKind::PriceAboveMaximum, 100, 100},
        FrontCase{105, 100, 105, 1, false, ErrorKind::PriceAboveMaximum, 105, 105},
        FrontCase{1e9, 100, 1, 1, true, ErrorKind::PriceAboveMaximum, 1e9, 100}));

TEST(ImpliedVolatility, AcceptedBounds) {
  // The intrinsic value itself is a valid price (zero time value).
  const Result<double> itm = implied_volatility(5.0, 105.0, 100.0, 1.0, true);
  ASSERT_TRUE(itm.ok());
  EXPECT_GE(itm.value(), 0.0);
  const Result<double> otm = implied_volatility(0.0, 100.0, 105.0, 1.0, true);
  ASSERT_TRUE(otm.ok());
  EXPECT_EQ(otm.value(), 0.0);
  // The at-the-money round trip, scaled by the square root of the maturity.
  for (double t : {0.25, 1.0, 4.0}) {
    const double price = black_price(true, 100.0, 100.0, t, 0.2).value();
    const Result<double> v = implied_volatility(price, 100.0, 100.0, t, true);
    ASSERT_TRUE(v.ok());
    EXPECT_NEAR(v.value(), 0.2, 1e-15);
  }
}

// A price just below the maximum can reach the normalised maximum through
// rounding: at F = K = 3, sqrt(3)*sqrt(3) is one ulp below 3, so beta exceeds
// 1. The solver answers with the largest double, which the front end reports.
TEST(ImpliedVolatility, RoundingToTheMaximumIsNoConvergence) {
  const Result<double> r =
      implied_volatility(std::nextafter(3.0, 0.0), 3.0, 3.0, 1.0, false);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::NoConvergence);
  EXPECT_EQ(r.error().iterations(), 2u);
  EXPECT_FALSE(r.error().residual().has_value());
  EXPECT_EQ(r.error().message(), "implied volatility failed to converge after 2 iterations");
}

struct NormalisedCase {
  double x;
  bool is_call;
};

class NormalisedBounds : public ::testing::TestWithParam<NormalisedCase> {};

TEST_P(NormalisedBounds, IntrinsicAcceptedMaximumRejected) {
  const auto [x, is_call] = GetParam();
  const bool itm = is_call ? x > 0.0 : x < 0.0;
  const double iota = itm ? std::fabs(rational::normalised_intrinsic(x)) : 0.0;
  const double maximum = std::exp(x * (is_call ? 0.5 : -0.5));

  const Result<double> at_max = normalised_implied_volatility(maximum, x, is_call);
  ASSERT_FALSE(at_max.ok());
  EXPECT_EQ(at_max.error().kind(), ErrorKind::PriceAboveMaximum);
  EXPECT_EQ(at_max.error().bound(), maximum);

  const double below = std::nextafter(iota, -1.0);
  const Result<double> under = normalised_implied_volatility(below, x, is_call);
  ASSERT_FALSE(under.ok());
  EXPECT_EQ(under.error().kind(), ErrorKind::PriceBelowIntrinsic);
  EXPECT_EQ(under.error().price(), below);
  EXPECT_EQ(under.error().bound(), iota);

  const Result<double> at_iota = normalised_implied_volatility(iota, x, is_call);
  ASSERT_TRUE(at_iota.ok());
  EXPECT_EQ(at_iota.value(), 0.0);

  const double s = 0.9;
  const double price = iota + rational::normalised_black_call(-std::fabs(x), s);
  const Result<double> v = normalised_implied_volatility(price, x, is_call);
  ASSERT_TRUE(v.ok());
  EXPECT_NEAR(v.value(), s, 1e-13);
}

INSTANTIATE_TEST_SUITE_P(BothKindsBothSides, NormalisedBounds,
                         ::testing::Values(NormalisedCase{0.0, true}, NormalisedCase{0.0, false},
                                           NormalisedCase{0.8, true}, NormalisedCase{0.8, false},
                                           NormalisedCase{-0.8, true}, NormalisedCase{-0.8, false},
                                           NormalisedCase{0.01, true},
                                           NormalisedCase{-0.01, false}));

TEST(NormalisedImpliedVolatility, NonFiniteInput) {
  for (double bad : {kNaN, kInf, -kInf}) {
    for (const auto& r : {normalised_implied_volatility(bad, 0.1, true),
                          normalised_implied_volatility(0.1, bad, false)}) {
      ASSERT_FALSE(r.ok());
      EXPECT_STREQ(r.error().reason(), "non-finite normalised input");
    }
  }
}

}  // namespace
}  // namespace tarvik
