// The implied-volatility solver: the rational cubic at its special controls,
// the Householder refinement's early stop and bisection fallback, the fused
// price and vega, and the price that rounds to its maximum. Accuracy in every
// region, and the bounds and checks of both front ends, are tested from
// Python.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "black/cubic.hpp"
#include "black/householder.hpp"
#include "black/normalised_black.hpp"
#include "black/solver.hpp"
#include "tarvik/implied_volatility.hpp"

namespace tarvik {
namespace {

using namespace rational;

constexpr double kRMax = kRationalCubicMaxControl;
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(RationalCubic, ControlThreeIsCubicHermite) {
  const double xl = 0.5, xr = 2.0, yl = -1.0, yr = 3.0, dl = 0.25, dr = 4.0, h = xr - xl;
  for (double t : {0.1, 0.37, 0.5, 0.81}) {
    const double hermite = (2 * t * t * t - 3 * t * t + 1) * yl +
                           (t * t * t - 2 * t * t + t) * h * dl +
                           (-2 * t * t * t + 3 * t * t) * yr + (t * t * t - t * t) * h * dr;
    EXPECT_NEAR(rational_cubic(xl + t * h, xl, xr, yl, yr, dl, dr, 3.0), hermite, 1e-14) << t;
  }
}

TEST(RationalCubic, LargeControlIsTheChordAndEndsAreExact) {
  const double xl = 1.0, xr = 3.0, yl = 2.0, yr = -5.0;
  for (double r : {kRMax, 1e40, kInf}) {
    for (double x : {1.25, 2.0, 2.9}) {
      const double t = (x - xl) / (xr - xl);
      EXPECT_EQ(rational_cubic(x, xl, xr, yl, yr, 7.0, -9.0, r), yr * t + yl * (1.0 - t));
    }
  }
  for (double r : {kRationalCubicMinControl, 0.0, 3.0, 1e6, kRMax}) {
    EXPECT_EQ(rational_cubic(xl, xl, xr, yl, yr, 7.0, -9.0, r), yl) << r;
    EXPECT_EQ(rational_cubic(xr, xl, xr, yl, yr, 7.0, -9.0, r), yr) << r;
  }
  // A degenerate interval gives the mean of the end values, whatever r is.
  EXPECT_EQ(rational_cubic(9.0, 1.0, 1.0, 2.0, 5.0, 1.0, 1.0, kRMax), 3.5);
}

class HouseholderObjective : public ::testing::TestWithParam<RefinementObjective> {};

// At the exact root every objective's step is 0: the first step ends the
// iteration with s0 itself.
TEST_P(HouseholderObjective, StopsAtTheRoot) {
  const double beta = normalised_black_call(-1.0, 0.7);
  EXPECT_EQ(
      householder_refinement(-1.0, beta, std::exp(-0.5), 0.7, 0.1, 5.0, GetParam(), std::log(beta)),
      0.7);
}

// A start where the derivatives are useless (vega 0 at a tiny s; price at its
// maximum at a huge s) makes the first step a bisection or a jump outside the
// bracket; the second pass then starts from the bracket midpoint 1, which is
// the root, and stays there.
TEST_P(HouseholderObjective, BisectsWhenDerivativesFail) {
  const double beta = normalised_black_call(-1.0, 1.0), b_max = std::exp(-0.5);
  const double s0 = GetParam() == RefinementObjective::LogGap ? 1e300 : 1e-160;
  EXPECT_EQ(householder_refinement(-1.0, beta, b_max, s0, 0.5, 1.5, GetParam(), std::log(beta)),
            1.0);
}

INSTANTIATE_TEST_SUITE_P(All, HouseholderObjective,
                         ::testing::Values(RefinementObjective::ReciprocalLog,
                                           RefinementObjective::Plain,
                                           RefinementObjective::LogGap));

// The solver takes the price and its vega from one exponential where the
// normalised Black function forms the vega's Gaussian factor: both equal
// their separate evaluations bit for bit, in every region.
TEST(NormalisedBlack, FusedPriceAndVegaEqualTheSeparateOnes) {
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const double specials[] = {0.0, -0.0, 5e-324, 1e-300, 1e-8, 0.3, 1.0, 40.0, 1e5};
  for (int i = 0; i < 200000; ++i) {
    const double x = i % 10 == 0 ? specials[i % 9] * (i % 20 == 0 ? 1 : -1)
                                 : (u(rng) - 0.7) * std::exp(10.0 * u(rng) - 5.0);
    const double s = i % 13 == 0 ? specials[i % 9] : std::exp(14.0 * u(rng) - 10.0);
    const BlackAndVega fused = normalised_black_and_vega(x, s);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(fused.b),
              std::bit_cast<std::uint64_t>(normalised_black_call(x, s)))
        << x << " " << s;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(fused.vega),
              std::bit_cast<std::uint64_t>(normalised_vega(x, s)))
        << x << " " << s;
  }
}

// A price just below the maximum can reach the normalised maximum through
// rounding: at F = K = 3, sqrt(3)*sqrt(3) is one ulp below 3, so beta
// exceeds 1. The solver answers with the largest double, which the front end
// reports. (The validation order and the bounds of this front end are
// compared with the model in Python.)
TEST(ImpliedVolatility, RoundingToTheMaximumIsNoConvergence) {
  const Result<double> r = implied_volatility(std::nextafter(3.0, 0.0), 3.0, 3.0, 1.0, false);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::NoConvergence);
  EXPECT_EQ(r.error().iterations(), 2u);
  EXPECT_EQ(r.error().message(), "implied volatility failed to converge after 2 iterations");
}

}  // namespace
}  // namespace tarvik
