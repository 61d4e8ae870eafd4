// The normal functions at their edges: infinities, NaN, overflow of x*x and
// the boundaries of the tail series.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "tarvik/normal.hpp"

namespace tarvik {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

TEST(Normal, SpecialArguments) {
  EXPECT_EQ(norm_cdf(0.0), 0.5);
  EXPECT_EQ(norm_cdf_c(0.0), 0.5);
  EXPECT_EQ(norm_pdf(0.0), 0.3989422804014327);
  EXPECT_TRUE(same_bits(norm_pdf(kInf), 0.0));
  EXPECT_TRUE(same_bits(norm_pdf(-kInf), 0.0));
  EXPECT_EQ(norm_cdf(kInf), 1.0);
  EXPECT_EQ(norm_cdf(-kInf), 0.0);
  EXPECT_EQ(norm_cdf_c(kInf), 0.0);
  EXPECT_EQ(norm_cdf_c(-kInf), 1.0);
  for (double (*f)(double) : {norm_pdf, norm_cdf, norm_cdf_c, norm_cdf_tail}) {
    EXPECT_TRUE(std::isnan(f(kNaN)));
  }
}

TEST(Normal, DensityVanishesWhereTheSquareOverflows) {
  for (double x : {1.4e154, -1.4e154, 1e300, -std::numeric_limits<double>::max()}) {
    EXPECT_TRUE(same_bits(norm_pdf(x), 0.0)) << x;
  }
}

TEST(Normal, ComplementIsTheReflectedDistributionBitForBit) {
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> u(-40.0, 40.0);
  for (int i = 0; i < 100000; ++i) {
    const double x = u(rng);
    ASSERT_TRUE(same_bits(norm_cdf(-x), norm_cdf_c(x))) << x;
  }
}

TEST(NormalTail, SeriesStartsAtMinusTen) {
  // At -10 the series is used; at the next double above, erfc.
  const double above = std::nextafter(-10.0, 0.0);
  EXPECT_TRUE(same_bits(norm_cdf_tail(above), norm_cdf(above)));
  EXPECT_FALSE(same_bits(norm_cdf_tail(-10.0), norm_cdf(-10.0)));
  }

TEST(NormalTail, AgreesWithErfcAboveMinusTen) {
  std::mt19937_64 rng(2);
  std::uniform_real_distribution<double> u(-10.0, 10.0);
  for (int i = 0; i < 100000; ++i) {
    const double z = std::nextafter(u(rng), kInf);
    ASSERT_TRUE(same_bits(norm_cdf_tail(z), norm_cdf(z))) << z;
  }
}

TEST(NormalTail, BeyondTheCutoffTheSeriesSumIsOne) {
  // Below -2^26 the sum stays exactly 1: Phi(z) = -phi(z)/z.
  for (double z : {-67108864.5, -1e8, -1e20}) {
    EXPECT_TRUE(same_bits(norm_cdf_tail(z), (-(norm_pdf(z) * 1.0)) / z)) << z;
  }
  EXPECT_TRUE(same_bits(norm_cdf_tail(-kInf), 0.0));
  // Just inside the cut-off the series runs but its first term is below an ulp.
  EXPECT_TRUE(same_bits(norm_cdf_tail(-67108864.0), (-(norm_pdf(-67108864.0) * 1.0)) / -67108864.0));
}

// Reference values of Phi in the lower tail (mpmath, 50 digits).
struct TailCase {
  double z;
  double phi;
};

class NormalTailValue : public ::testing::TestWithParam<TailCase> {};

TEST_P(NormalTailValue, FullRelativeAccuracy) {
  const auto [z, phi] = GetParam();
  EXPECT_NEAR(norm_cdf_tail(z) / phi, 1.0, 4e-16) << z;
}

INSTANTIATE_TEST_SUITE_P(Tail, NormalTailValue,
                         ::testing::Values(TailCase{-10.0, 7.6198530241605261e-24},
                                           TailCase{-12.5, 3.7325642988777134e-36},
                                           TailCase{-20.0, 2.7536241186062337e-89},
                                           TailCase{-37.5, 4.6053530095819548e-308}));

}  // namespace
}  // namespace tarvik
