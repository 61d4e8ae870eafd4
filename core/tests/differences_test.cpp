// The Greeks' finite differences (search/differences.hpp): exact on quartics
// (fourth order), one-sided where the stencil would leave the regime, and,
// where a value of the central stencil fails (NaN), one-sided on a side
// whose values all hold; NaN where neither does. The one-sided second
// difference, exact on quintics.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "search/differences.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// f(x) = x^4 - 2 x^3 + x, f'(1) = 4 - 6 + 1 = -1; the fourth-order formulas
// are exact on it but for rounding.
double quartic(double x) { return ((x - 2.0) * x * x) * x + x; }

TEST(Derivative, CentralOneSidedAndAroundFailures) {
  const double x = 1.0, h = 1e-2, want = -1.0;
  auto all = [](double) { return true; };
  struct Case {
    const char* what;
    double fails_at;  // the one point of the stencil where f is NaN (or none)
    bool below, above;  // whether the stencil may go below / above x
    bool finite;
  };
  const Case cases[] = {
      {"central", 0.0, true, true, true},
      {"only above", 0.0, false, true, true},
      {"only below", 0.0, true, false, true},
      {"a failure above: below", x + h, true, true, true},
      {"a failure below: above", x - 2.0 * h, true, true, true},
      {"a failure on the only side", x + 3.0 * h, false, true, false},
      {"neither side", 0.0, false, false, false},
  };
  for (const Case& c : cases) {
    auto f = [&](double y) {
      return std::fabs(y - c.fails_at) < 1e-12 ? kNaN : quartic(y);
    };
    auto same = [&](double y) { return y < x ? c.below : c.above; };
    const double got = tarvik::search::derivative(f, x, h, quartic(x), same);
    if (c.finite) {
      EXPECT_NEAR(got, want, 1e-10) << c.what;
    } else {
      EXPECT_TRUE(std::isnan(got)) << c.what;
    }
  }
  // Without a failure the central formula's own value, the same bits.
  const double y[] = {quartic(x - 2 * h), quartic(x - h), quartic(x), quartic(x + h),
                      quartic(x + 2 * h)};
  EXPECT_EQ(tarvik::search::derivative(quartic, x, h, quartic(x), all),
            tarvik::search::first_difference(y, h));
}

// The one-sided second difference on either side: exact on quintics but
// for rounding. f(x) = x^5 - x^2 at 1: f'' = 20 - 2 = 18.
TEST(Derivative, OneSidedSecondDifference) {
  auto quintic = [](double x) { return ((x * x) * (x * x)) * x - x * x; };
  for (const double h : {1e-2, -1e-2}) {
    double y[6];
    for (int j = 0; j < 6; ++j) y[j] = quintic(1.0 + j * h);
    EXPECT_NEAR(tarvik::search::one_sided_second(y, h), 18.0, 1e-8) << h;
    EXPECT_NEAR(tarvik::search::one_sided_first(y, h), 3.0, 1e-6) << h;
  }
}

}  // namespace
