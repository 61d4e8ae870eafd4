// The normal functions at their edges: infinities, NaN, overflow of x*x and
// the boundaries of the tail series.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "tarvik/normal.hpp"

namespace tarvik {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

TEST(Normal, SpecialArguments) {
  const struct {
    double (*f)(double);
    double x, want;
  } cases[] = {{norm_cdf, 0.0, 0.5},
               {norm_cdf_c, -0.0, 0.5},
               {norm_pdf, -0.0, 0.3989422804014327},
               {norm_pdf, kInf, 0.0},
               {norm_pdf, -kInf, 0.0},
               {norm_cdf, kInf, 1.0},
               {norm_cdf, -kInf, 0.0},
               {norm_cdf_c, kInf, 0.0},
               {norm_cdf_c, -kInf, 1.0},
               {norm_cdf_tail, -kInf, 0.0},
               // x*x overflows: +0, not NaN
               {norm_pdf, 1.4e154, 0.0},
               {norm_pdf, -1.4e154, 0.0},
               {norm_pdf, -std::numeric_limits<double>::max(), 0.0}};
  for (const auto& c : cases) EXPECT_TRUE(same_bits(c.f(c.x), c.want)) << c.x;
  for (double (*f)(double) : {norm_pdf, norm_cdf, norm_cdf_c, norm_cdf_tail}) {
    EXPECT_TRUE(std::isnan(f(kNaN)));
  }
}

TEST(NormalTail, SeriesBoundaries) {
  // At -10 the series is used; at the next double above, erfc.
  const double above = std::nextafter(-10.0, 0.0);
  EXPECT_TRUE(same_bits(norm_cdf_tail(above), norm_cdf(above)));
  EXPECT_FALSE(same_bits(norm_cdf_tail(-10.0), norm_cdf(-10.0)));
  // From -2^26 down the sum stays exactly 1: Phi(z) = -phi(z)/z (at -2^26
  // the series runs, but its first term is below an ulp).
  for (double z : {-67108864.0, -67108864.5, -1e8, -1e20}) {
    EXPECT_TRUE(same_bits(norm_cdf_tail(z), (-(norm_pdf(z) * 1.0)) / z)) << z;
  }
}

// Reference values of Phi in the lower tail (mpmath, 50 digits).
TEST(NormalTail, FullRelativeAccuracy) {
  const std::pair<double, double> cases[] = {{-10.0, 7.6198530241605261e-24},
                                             {-12.5, 3.7325642988777134e-36},
                                             {-20.0, 2.7536241186062337e-89},
                                             {-37.5, 4.6053530095819548e-308}};
  for (const auto& [z, phi] : cases) EXPECT_NEAR(norm_cdf_tail(z) / phi, 1.0, 4e-16) << z;
}

}  // namespace
}  // namespace tarvik
